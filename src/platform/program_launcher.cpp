#include "platform/program_launcher.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::vector<std::string> SplitCommandLine(std::string_view line) {
    // CR and LF count as blanks too: the parameter line is edited in a multi-line box.
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && isBlank(line[i]))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        bool inQuote = false;
        while (i < n) {
            size_t slashes = 0;
            while (i < n && line[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < n && line[i] == '"') {
                arg.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    arg += '"';
                    ++i;
                } else if (inQuote && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    inQuote = !inQuote;
                    ++i;
                }
                continue;
            }
            arg.append(slashes, '\\');
            if (i >= n || (!inQuote && isBlank(line[i])))
                break;
            arg += line[i];
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

namespace {

// Collects our own children by pid. Each child gets a pidfd where the kernel offers one, so
// one thread sleeps in poll until any of them ends; children without a pidfd are checked a
// few times a second. Never waits for "any child": other code in the process may have
// children of its own and must still get their status.
class Reaper {
public:
    Reaper() {
        m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        // The reaper takes no signals: they belong to the threads that handle them.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        pthread_t thread;
        m_threadRunning = pthread_create(&thread, nullptr, &Reaper::Entry, this) == 0;
        if (m_threadRunning)
            pthread_detach(thread);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    void Add(pid_t pid) {
        int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by nature
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_children.push_back(Child{pid, fd});
        }
        if (m_wake >= 0) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t ignored = write(m_wake, &one, sizeof one);
        }
        if (!m_threadRunning)
            Collect();
    }

    size_t Count() {
        if (!m_threadRunning)
            Collect();
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_children.size();
    }

private:
    struct Child {
        pid_t pid;
        int pidfd;  // -1 when the kernel gave none
    };

    static void* Entry(void* self) {
        static_cast<Reaper*>(self)->Loop();
        return nullptr;
    }

    void Loop() {
        std::vector<pollfd> fds;
        for (;;) {
            bool needPolling = m_wake < 0;
            fds.clear();
            if (m_wake >= 0)
                fds.push_back(pollfd{m_wake, POLLIN, 0});
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (const Child& child : m_children) {
                    if (child.pidfd >= 0)
                        fds.push_back(pollfd{child.pidfd, POLLIN, 0});
                    else
                        needPolling = true;
                }
            }
            poll(fds.data(), fds.size(), needPolling ? 200 : -1);
            if (m_wake >= 0) {
                uint64_t count;
                [[maybe_unused]] ssize_t ignored = read(m_wake, &count, sizeof count);
            }
            Collect();
        }
    }

    void Collect() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < m_children.size();) {
            int status = 0;
            pid_t r = waitpid(m_children[i].pid, &status, WNOHANG);
            if (r == m_children[i].pid || (r < 0 && errno == ECHILD)) {
                if (m_children[i].pidfd >= 0)
                    close(m_children[i].pidfd);
                m_children[i] = m_children.back();
                m_children.pop_back();
            } else {
                ++i;
            }
        }
    }

    std::mutex m_mutex;
    std::vector<Child> m_children;
    int m_wake = -1;
    bool m_threadRunning = false;
};

Reaper& TheReaper() {
    // Never destroyed: the detached reaper thread may run until the process ends.
    static Reaper* reaper = new Reaper;
    return *reaper;
}

}  // namespace

LaunchResult SpawnLauncher::Launch(const std::string& program, const std::string& parameters) {
    LaunchResult result;
    std::vector<std::string> argv = SplitCommandLine(parameters);
    argv.insert(argv.begin(), program);
    pid_t pid = -1;
    result.error = SpawnWithDefaultSignals(argv, pid);
    if (result.error != 0)
        return result;
    TheReaper().Add(pid);
    result.started = true;
    result.pid = pid;
    return result;
}

ProgramLauncher& DefaultProgramLauncher() {
    static SpawnLauncher launcher;
    return launcher;
}

size_t UnreapedChildCount() {
    return TheReaper().Count();
}

int SpawnWithDefaultSignals(const std::vector<std::string>& argv, pid_t& pid,
                            const SpawnStdio& stdio) {
    if (argv.empty() || argv[0].empty())
        return ENOENT;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return ENOMEM;
    int rc = 0;
    const int wanted[] = {stdio.input, stdio.output, stdio.errors};
    for (int target = 0; target < 3 && rc == 0; ++target) {
        if (wanted[target] == kSpawnDevNull)
            rc = posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                                  target == 0 ? O_RDONLY : O_WRONLY, 0);
        else if (wanted[target] >= 0)
            rc = posix_spawn_file_actions_adddup2(&actions, wanted[target], target);
    }
    // Only standard input, output and error reach the program, whatever else the monitor
    // holds without close-on-exec (what the shell that started it left open, a library's).
    if (rc == 0)
        rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // The child starts with default signal handling and an empty mask, whatever ours are.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (stdio.ownSession)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attr, flags);
    if (rc == 0)
        rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}
