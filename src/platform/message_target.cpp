#include "platform/message_target.h"

#include <chrono>

namespace {

thread_local const std::atomic<uint8_t>* t_stopFlag = nullptr;

// A sender re-checks its own stop flag this often while it waits for an answer.
constexpr auto kSendSlice = std::chrono::milliseconds(10);

}  // namespace

void SetCurrentThreadStopFlag(const std::atomic<uint8_t>* stopFlag) {
    t_stopFlag = stopFlag;
}

bool CurrentThreadStopping() {
    return t_stopFlag != nullptr && t_stopFlag->load(std::memory_order_acquire) != 0;
}

bool MessageTarget::PostBatch(const PostedMessage* messages, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!Post(messages[i].msg, messages[i].wParam, messages[i].lParam))
            return false;
    }
    return true;
}

struct QueueMessageTarget::Reply {
    bool answered = false;   // the handler returned `result`
    bool withdrawn = false;  // the sender gave up; the pump skips the message
    LRESULT result = 0;
};

QueueMessageTarget::QueueMessageTarget(Handler handler)
    : m_handler(std::move(handler)), m_owner(std::this_thread::get_id()) {}

QueueMessageTarget::~QueueMessageTarget() {
    Close();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_answered.wait(lock, [this] { return m_senders == 0; });
}

bool QueueMessageTarget::Post(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    const PostedMessage message{msg, wParam, lParam};
    return PostBatch(&message, 1);
}

bool QueueMessageTarget::PostBatch(const PostedMessage* messages, size_t count) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closing)
            return false;
        // The pumping thread can only be waiting while the queue is empty.
        wake = m_queue.empty() && count != 0;
        for (size_t i = 0; i < count; ++i)
            m_queue.push_back({messages[i], nullptr});
    }
    if (wake)
        m_cond.notify_all();
    return true;
}

std::optional<LRESULT> QueueMessageTarget::Send(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (std::this_thread::get_id() == m_owner.load()) {
        // The owner would wait for itself: handle the message here, as a window procedure
        // called directly would.
        if (closing())
            return std::nullopt;
        return m_handler(msg, wParam, lParam);
    }
    auto reply = std::make_shared<Reply>();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closing || CurrentThreadStopping())
        return std::nullopt;
    if (m_queue.empty())
        m_cond.notify_all();
    m_queue.push_back({{msg, wParam, lParam}, reply});
    ++m_senders;
    std::optional<LRESULT> answer;
    for (;;) {
        if (reply->answered) {
            answer = reply->result;
            break;
        }
        if (m_closing || CurrentThreadStopping()) {
            reply->withdrawn = true;
            break;
        }
        m_answered.wait_for(lock, kSendSlice);
    }
    --m_senders;
    if (m_closing)
        m_answered.notify_all();  // a destructor may wait for the last sender
    return answer;
}

size_t QueueMessageTarget::Pump(uint32_t timeoutMs) {
    m_owner.store(std::this_thread::get_id());
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [this] { return m_closing || !m_queue.empty(); };
    if (timeoutMs == kInfinite) {
        m_cond.wait(lock, ready);
    } else if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return 0;
    }
    // Only what is queued now: a handler that posts to its own target cannot keep one
    // Pump going for ever.
    size_t budget = m_queue.size();
    size_t handled = 0;
    while (budget-- > 0 && !m_closing && !m_queue.empty()) {
        Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        if (entry.reply && entry.reply->withdrawn)
            continue;
        lock.unlock();
        const PostedMessage& m = entry.message;
        LRESULT result = m_handler(m.msg, m.wParam, m.lParam);
        lock.lock();
        ++handled;
        if (entry.reply) {
            entry.reply->result = result;
            entry.reply->answered = true;
            m_answered.notify_all();
        }
    }
    return handled;
}

void QueueMessageTarget::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
        m_queue.clear();
    }
    m_cond.notify_all();
    m_answered.notify_all();
}

bool QueueMessageTarget::closing() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closing;
}

int QueueMessageTarget::waitingSenders() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_senders;
}
