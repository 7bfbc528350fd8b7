#include "platform/shell.h"

#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdlib>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/program_launcher.h"

namespace {

std::atomic<ShellSpawnHook> g_spawnHook{nullptr};

bool SpawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty())
        return false;
    if (ShellSpawnHook hook = g_spawnHook.load())
        return hook(argv);
    pid_t pid = -1;
    const int rc = SpawnWithDefaultSignals(argv, pid);
    if (rc != 0)
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

std::vector<std::string> SplitBlanks(const std::string& text) {
    std::vector<std::string> out;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (!word.empty())
                out.push_back(std::move(word));
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty())
        out.push_back(std::move(word));
    return out;
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
    if (IsNotepad(program)) {
        for (const char* var : {"VISUAL", "EDITOR"}) {
            const char* value = std::getenv(var);
            if (value != nullptr && value[0] != '\0') {
                argv = SplitBlanks(value);
                if (!argv.empty())
                    break;
            }
        }
        if (argv.empty())
            argv.push_back("xdg-open");
    } else {
        argv.push_back(program);
    }
    if (!parameters.empty())
        argv.push_back(parameters);
    return argv;
}

bool ShellRunProgram(const std::string& program, const std::string& parameters) {
    return SpawnDetached(ShellProgramCommand(program, parameters));
}
