#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Opening a link or document when the caller must tell the user why it failed. The result
// follows the classic shell convention: above 32 means the target was handed to a program;
// 32 and below is one of the classic failure codes (0 out of resources, 2 file not found,
// 3 path not found, 5 access denied, 8 not enough memory, 11 not an executable, 26 sharing
// violation, 27 broken association, 31 no application for the target); anything else,
// negative numbers included, is a failure without a classic meaning. Any thread.

// A result meaning "opened": any value above 32 would do.
constexpr int kShellOpenedResult = 42;

// How long ShellOpenLink waits for the desktop's opener to give its verdict. Openers that
// hand the link to a running program end at once; one still running after this long has
// taken the link, and its exit is no longer waited for (it is reaped in the background).
constexpr uint32_t kOpenerVerdictMs = 1500;

// What became of a started helper program.
struct OpenerOutcome {
    int spawnError = 0;   // errno when it could not be started; 0 when it started
    bool exited = false;  // it ended within the watch time
    int exitStatus = 0;   // its exit status when it ended normally; -1 when a signal ended it
};

// Starts argv (searched on PATH, never through a shell) detached from the monitor's
// terminal (kSpawnDetached: a session of its own, standard input, output and error on
// /dev/null) and watches it up to `watchMs`; with 0 it does not wait at all. The child is
// reaped in the background whenever it ends. Any thread.
OpenerOutcome RunAndWatch(const std::vector<std::string>& argv, uint32_t watchMs);

// Replaces RunAndWatch for ShellOpenLink and ShellRunWithTarget (tests); nullptr restores
// the real one.
using OpenerRunHook = OpenerOutcome (*)(const std::vector<std::string>& argv, uint32_t watchMs);
void SetOpenerRunHook(OpenerRunHook hook);

// Opens `target` with xdg-open and waits up to kOpenerVerdictMs for its verdict. xdg-open's
// own failures map to the classic codes: 2 (no such file) to 2, 3 (no tool for it) to 31,
// 4 (the opener failed) to 27, 1 (refused the target) to 1; a missing xdg-open is 31.
int ShellOpenLink(const std::string& target);

// Runs a command line (split into arguments by the Windows rules) with `target` appended
// as one more argument of its own, detached as RunAndWatch starts it, and does not wait for
// it. Above 31 when it started;
// otherwise 0, 2, 3, 5, 8, 11 or 26 for the reason it could not start (an empty command
// line is 2). Any thread.
int ShellRunWithTarget(const std::string& commandLine, const std::string& target);

// The classic code for an errno of a failed start (ENOENT 2, ENOTDIR 3, EACCES 5, ENOMEM 8,
// ENOEXEC 11, ETXTBSY 26, EAGAIN 0; any other errno e as -e).
int ShellCodeFromErrno(int error);

// The user's web browser command: the first entry of $BROWSER (entries are separated by
// ':'), or empty when none is set.
std::string DefaultBrowserCommand();
