#include "platform/shell_link.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/wait.h>

#include "platform/program_launcher.h"

namespace {

std::atomic<OpenerRunHook> g_runHook{nullptr};

// The verdict of one child, filled in by the thread that reaps it.
struct ChildVerdict {
    std::mutex mutex;
    std::condition_variable changed;
    bool exited = false;
    int exitStatus = 0;
};

OpenerOutcome Run(const std::vector<std::string>& argv, uint32_t watchMs) {
    if (OpenerRunHook hook = g_runHook.load())
        return hook(argv, watchMs);
    return RunAndWatch(argv, watchMs);
}

// xdg-open's documented exit statuses, as the classic codes a user is shown.
int CodeFromOpenerStatus(int status) {
    switch (status) {
        case 0:
            return kShellOpenedResult;
        case 1:
            return 1;
        case 2:
            return 2;
        case 3:
            return 31;
        case 4:
            return 27;
        default:
            return status < 0 ? -1 : -status;
    }
}

}  // namespace

void SetOpenerRunHook(OpenerRunHook hook) {
    g_runHook.store(hook);
}

OpenerOutcome RunAndWatch(const std::vector<std::string>& argv, uint32_t watchMs) {
    OpenerOutcome outcome;
    pid_t pid = -1;
    // Openers and browsers say a lot on their standard error; none of it is for the terminal
    // the monitor was started from.
    const int rc = SpawnWithDefaultSignals(argv, pid, kSpawnDetached);
    if (rc != 0) {
        outcome.spawnError = rc;
        return outcome;
    }

    // A thread of its own reaps exactly this child, so a child that outlives the watch is
    // still collected and nobody else's child is taken.
    auto verdict = std::make_shared<ChildVerdict>();
    std::thread([pid, verdict] {
        int status = 0;
        pid_t r;
        while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
        std::lock_guard<std::mutex> lock(verdict->mutex);
        verdict->exited = true;
        if (r == pid && WIFEXITED(status))
            verdict->exitStatus = WEXITSTATUS(status);
        else if (r == pid)
            verdict->exitStatus = -1;
        else
            verdict->exited = false;  // reaped elsewhere: nothing is known of its end
        verdict->changed.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(verdict->mutex);
    verdict->changed.wait_for(lock, std::chrono::milliseconds(watchMs),
                              [&] { return verdict->exited; });
    outcome.exited = verdict->exited;
    outcome.exitStatus = verdict->exitStatus;
    return outcome;
}

int ShellCodeFromErrno(int error) {
    switch (error) {
        case EAGAIN:
            return 0;
        case ENOENT:
            return 2;
        case ENOTDIR:
            return 3;
        case EACCES:
        case EPERM:
            return 5;
        case ENOMEM:
            return 8;
        case ENOEXEC:
            return 11;
        case ETXTBSY:
            return 26;
        default:
            return -error;
    }
}

int ShellOpenLink(const std::string& target) {
    if (target.empty())
        return 2;
    const OpenerOutcome outcome = Run({"xdg-open", target}, kOpenerVerdictMs);
    if (outcome.spawnError == ENOENT)
        return 31;  // the desktop has no opener at all
    if (outcome.spawnError != 0)
        return ShellCodeFromErrno(outcome.spawnError);
    if (!outcome.exited)
        return kShellOpenedResult;  // still running: it has taken the link
    return CodeFromOpenerStatus(outcome.exitStatus);
}

int ShellRunWithTarget(const std::string& commandLine, const std::string& target) {
    std::vector<std::string> argv = SplitCommandLine(commandLine);
    if (argv.empty() || argv[0].empty())
        return 2;
    // The target stays one argument whatever blanks or quotes it holds.
    argv.push_back(target);
    const OpenerOutcome outcome = Run(argv, 0);
    if (outcome.spawnError != 0)
        return ShellCodeFromErrno(outcome.spawnError);
    return kShellOpenedResult;
}

std::string DefaultBrowserCommand() {
    const char* value = std::getenv("BROWSER");
    if (value == nullptr)
        return std::string();
    std::string text(value);
    const size_t colon = text.find(':');
    if (colon != std::string::npos)
        text.resize(colon);
    return text;
}
