#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

// Splits a parameter line into arguments the way a Windows program's runtime does:
// blanks and tabs (and CR and LF) separate arguments; double quotes group and are
// removed; "" inside a quoted part is one literal quote; backslashes are literal unless
// they stand before a quote (2n backslashes + quote: n backslashes and the quote groups;
// 2n+1: n backslashes and a literal quote). Any thread.
std::vector<std::string> SplitCommandLine(std::string_view line);

// What became of one program start.
struct LaunchResult {
    bool started = false;  // the program is running
    pid_t pid = -1;        // its process id when started
    int error = 0;         // errno when it could not be started
};

// Starts a program with a parameter line, never through a shell, and does not wait for it.
// The program is searched on PATH when its name holds no '/'. Any thread.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;
    virtual LaunchResult Launch(const std::string& program, const std::string& parameters) = 0;
};

// The real launcher: posix_spawn with the split parameter line as arguments, the caller's
// environment and working directory, only descriptors 0, 1 and 2 left open in the child,
// an empty signal mask and every signal at its default action. Children are reaped by a
// background reaper that waits for each of them by its own pid (never "any child"), so no
// zombie is left and no other part of the process loses its children's exit status.
class SpawnLauncher : public ProgramLauncher {
public:
    LaunchResult Launch(const std::string& program, const std::string& parameters) override;
};

// Where a started helper's standard descriptors lead, and whether it keeps the terminal.
// Each descriptor: -1 keeps the caller's, kSpawnDevNull opens /dev/null, any other value is
// a descriptor of the caller that the child gets in its place.
constexpr int kSpawnDevNull = -2;
struct SpawnStdio {
    // A session of its own: the child has no controlling terminal.
    bool ownSession = false;
    int input = -1;
    int output = -1;
    int errors = -1;
};

// A helper that must stay away from the monitor's terminal (the desktop's opener, a web
// browser, a document's program): a session of its own, so it has no controlling terminal
// and cannot make ours its own, and standard input, output and error on /dev/null, so it
// neither reads the terminal nor draws on it (xdg-open's "firefox: not found" and the like).
constexpr SpawnStdio kSpawnDetached{true, kSpawnDevNull, kSpawnDevNull, kSpawnDevNull};

// Starts `argv` (argv[0] searched on PATH when it holds no '/') with the caller's
// environment, the descriptors `stdio` gives and no other, an empty signal mask and every
// signal at its default action. The caller reaps the child. Returns 0 and sets `pid`, or
// the spawn error. Any thread.
int SpawnWithDefaultSignals(const std::vector<std::string>& argv, pid_t& pid,
                            const SpawnStdio& stdio = {});

// The process-wide real launcher. Any thread.
ProgramLauncher& DefaultProgramLauncher();

// Number of started children the reaper has not collected yet (tests). Any thread.
size_t UnreapedChildCount();
