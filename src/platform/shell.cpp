#include "platform/shell.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/program_launcher.h"

namespace {

std::atomic<ShellSpawnHook> g_spawnHook{nullptr};

// Neither reads nor draws on the monitor's terminal, and cannot make it its own.
constexpr SpawnStdio kDetached{true, kSpawnDevNull, kSpawnDevNull, -1};

bool SpawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty())
        return false;
    if (ShellSpawnHook hook = g_spawnHook.load())
        return hook(argv);
    pid_t pid = -1;
    if (SpawnWithDefaultSignals(argv, pid, kDetached) != 0)
        return false;
    // Reap exactly this child, so no zombie stays and nobody else's child is taken.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

bool IsNotepad(const std::string& program) {
    static const char kName[] = "notepad.exe";
    if (program.size() != sizeof(kName) - 1)
        return false;
    for (size_t i = 0; i < program.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(program[i])) != kName[i])
            return false;
    }
    return true;
}

}  // namespace

void SetShellSpawnHook(ShellSpawnHook hook) {
    g_spawnHook.store(hook);
}

bool ShellOpenDocument(const std::string& target) {
    if (target.empty())
        return false;
    return SpawnDetached({"xdg-open", target});
}

std::vector<std::string> ShellProgramCommand(const std::string& program,
                                             const std::string& parameters) {
    std::vector<std::string> argv;
    // A text editor chosen from the environment would be a terminal program more often than
    // not, and the monitor may have no terminal, or one the user's shell still reads.
    argv.push_back(IsNotepad(program) ? "xdg-open" : program);
    if (!parameters.empty())
        argv.push_back(parameters);
    return argv;
}

bool ShellRunProgram(const std::string& program, const std::string& parameters) {
    return SpawnDetached(ShellProgramCommand(program, parameters));
}
