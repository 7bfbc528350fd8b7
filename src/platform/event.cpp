#include "platform/event.h"

#include <chrono>

Event::Event(bool manualReset, bool initiallySet)
    : m_manualReset(manualReset), m_set(initiallySet) {}

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_set = true;
    }
    // An auto-reset event lets one waiter through; waking all would only make the others
    // find it reset again, so one is enough.
    if (m_manualReset)
        m_cond.notify_all();
    else
        m_cond.notify_one();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_set = false;
}

bool Event::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs == kInfinite) {
        m_cond.wait(lock, [this] { return m_set; });
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!m_cond.wait_until(lock, deadline, [this] { return m_set; }))
            return false;
    }
    if (!m_manualReset)
        m_set = false;
    return true;
}
