#pragma once

#include <string>

// Keeps one running instance per user: an exclusive flock on a lock file named after the
// instance. The lock goes with the process however it ends, so a start after a crash or a
// kill succeeds. User-interface thread.
class InstanceLock {
public:
    enum class Result {
        kAcquired,       // this process holds the lock now
        kHeldElsewhere,  // another process holds it
        kFailed,         // the lock file could not be opened or trusted
    };

    InstanceLock() = default;
    ~InstanceLock();  // releases the lock
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Tries to take the lock `name` without waiting.
    Result Acquire(const std::string& name);
    // Releases the lock (tests; the program keeps it for its whole life).
    void Release();
    bool held() const { return m_fd >= 0; }

    // $XDG_RUNTIME_DIR/<name>.lock when that directory exists, else /tmp/<name>-<uid>.lock.
    static std::string LockPath(const std::string& name);

private:
    int m_fd = -1;
};
