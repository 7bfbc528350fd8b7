#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// An operating-system thread created suspended: it exists from Create on but runs its
// body only after Resume opens its start gate. A thread that does not end in time is
// abandoned (detached), never cancelled. Owner thread only, unless said otherwise.
class SuspendedThread {
public:
    SuspendedThread();
    // Joins an ended thread; detaches one still running; a thread never resumed ends
    // without running its body.
    ~SuspendedThread();
    SuspendedThread(const SuspendedThread&) = delete;
    SuspendedThread& operator=(const SuspendedThread&) = delete;

    // Creates the thread behind its gate; false when the system refused.
    bool Create(std::function<uint32_t()> body);
    // Opens the gate. Returns the previous suspend count (1 the first time), -1 with no thread.
    int Resume();
    // Waits up to `timeoutMs` for the body to return; true when it has (then joined).
    bool WaitForEnd(uint32_t timeoutMs);
    // Gives the thread up: detached, it may run on; nothing it owns is freed here.
    void Abandon();

    // True while a thread is held: created, and neither joined by WaitForEnd nor abandoned.
    bool created() const;
    // A small non-zero number unique to this thread within the process.
    uint32_t id() const;
    // The body's result, valid once WaitForEnd returned true.
    uint32_t exitCode() const;

private:
    struct State;
    static void* Trampoline(void* arg);
    std::shared_ptr<State> m_state;
};

// The id of the calling thread as SuspendedThread::id() gives it (0 for threads not
// made by SuspendedThread). Any thread.
uint32_t CurrentThreadId();
