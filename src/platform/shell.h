#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The desktop shell: opening documents and links, running a program with a parameter line,
// and asking which application the desktop opens a kind of file with. Programs are started
// with posix_spawn, never through a shell, and reaped by a background waiter. Any thread.

// Opens a file or a link with the desktop's opener (xdg-open), detached from the monitor's
// terminal: in a session of its own, with standard input, output and error on /dev/null, so
// no terminal program it may pick can take over the terminal and nothing it says lands
// there. True when it started.
bool ShellOpenDocument(const std::string& target);

// Runs `program` with `parameters`, detached as ShellOpenDocument is. "notepad.exe" (any
// case) means the desktop's handler for the file (xdg-open), never a terminal editor. Other
// programs get the parameters as one argument when not empty. True when it started.
bool ShellRunProgram(const std::string& program, const std::string& parameters);

// The command ShellRunProgram would start, without starting it.
std::vector<std::string> ShellProgramCommand(const std::string& program,
                                             const std::string& parameters);

// Replaces the spawner (tests record the command instead of starting it); nullptr
// restores the real one. The hook returns whether the program "started".
using ShellSpawnHook = bool (*)(const std::vector<std::string>& argv);
void SetShellSpawnHook(ShellSpawnHook hook);

// How long ShellDefaultApplication waits for the desktop's answer.
constexpr uint32_t kMimeQueryMs = 2000;

// The desktop's default application for `mimeType`, as `xdg-mime query default` names it
// (a desktop file name); empty when it names none, cannot be run or does not answer within
// kMimeQueryMs.
std::string ShellDefaultApplication(const std::string& mimeType);

// Replaces the query (tests answer for a desktop they do not have); nullptr restores the
// real one.
using MimeQueryHook = std::string (*)(const std::string& mimeType);
void SetMimeQueryHook(MimeQueryHook hook);
