#include "platform/shell.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/program_launcher.h"
#include "platform/shell_link.h"

namespace {

std::atomic<ShellSpawnHook> g_spawnHook{nullptr};
std::atomic<MimeQueryHook> g_mimeQueryHook{nullptr};

// Started as links are (RunAndWatch: detached from the monitor's terminal, reaped in the
// background), without waiting for its end.
bool SpawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty())
        return false;
    if (ShellSpawnHook hook = g_spawnHook.load())
        return hook(argv);
    return RunAndWatch(argv, 0).spawnError == 0;
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

// The first line `argv` writes to its standard output within `timeoutMs`, trimmed; empty
// when it cannot start, says nothing or is too slow (it is then killed).
std::string FirstOutputLine(const std::vector<std::string>& argv, uint32_t timeoutMs) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const SpawnStdio stdio{true, kSpawnDevNull, pipeFds[1], kSpawnDevNull};
    pid_t pid = -1;
    const int rc = SpawnWithDefaultSignals(argv, pid, stdio);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        return {};
    }
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool ended = false;
    while (!ended && text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{pipeFds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[512];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ended = true;
        else
            text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    // An answer is complete with its first line; whatever still runs is not waited for. The
    // query runs in a session of its own: its group holds every helper it started.
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    text = text.substr(0, text.find('\n'));
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
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

void SetMimeQueryHook(MimeQueryHook hook) {
    g_mimeQueryHook.store(hook);
}

std::string ShellDefaultApplication(const std::string& mimeType) {
    if (MimeQueryHook hook = g_mimeQueryHook.load())
        return hook(mimeType);
    return FirstOutputLine({"xdg-mime", "query", "default", mimeType}, kMimeQueryMs);
}
