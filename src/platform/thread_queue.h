#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// The message queue of one worker thread, reduced to what the worker loops use:
// every trigger (WM_TIMER) is counted and ends one wait; quit (WM_QUIT) ends every
// wait from then on. Producers: any thread. Consumer: the owning thread.
class ThreadQueue {
public:
    enum class WaitResult { kTrigger, kQuit, kTimeout };

    // Queues one trigger; a trigger posted while nobody waits ends the next wait at once.
    void PostTrigger();
    // Marks the queue as quitting; wakes the waiter.
    void PostQuit();
    // Waits up to `timeoutMs` (kInfinite from event.h: forever). A pending quit wins over
    // triggers; a trigger is consumed by the wait it ends.
    WaitResult Wait(uint32_t timeoutMs);
    // Number of triggers not yet consumed (tests).
    uint32_t pendingTriggers() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    uint32_t m_triggers = 0;
    bool m_quit = false;
};
