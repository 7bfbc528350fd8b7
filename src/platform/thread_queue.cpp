#include "platform/thread_queue.h"

#include <chrono>

#include "platform/event.h"

void ThreadQueue::PostTrigger() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Saturate rather than wrap: a wrapped count would lose every queued run.
        if (m_triggers != UINT32_MAX)
            ++m_triggers;
    }
    m_cond.notify_one();
}

void ThreadQueue::PostQuit() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_cond.notify_all();
}

ThreadQueue::WaitResult ThreadQueue::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [this] { return m_quit || m_triggers != 0; };
    if (timeoutMs == kInfinite) {
        m_cond.wait(lock, ready);
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!m_cond.wait_until(lock, deadline, ready))
            return WaitResult::kTimeout;
    }
    if (m_quit)
        return WaitResult::kQuit;
    --m_triggers;
    return WaitResult::kTrigger;
}

uint32_t ThreadQueue::pendingTriggers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_triggers;
}
