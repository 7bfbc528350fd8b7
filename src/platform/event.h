#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// Waits without a time-out.
constexpr uint32_t kInfinite = 0xFFFFFFFF;

// An auto-reset or manual-reset event: Set wakes waiters; an auto-reset event lets
// exactly one waiter through per Set and resets itself. Any thread.
class Event {
public:
    Event(bool manualReset, bool initiallySet);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits up to `timeoutMs` (kInfinite: forever); true when the event was set.
    bool Wait(uint32_t timeoutMs);

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    const bool m_manualReset;
    bool m_set;
};
