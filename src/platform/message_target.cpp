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

struct QueueMessageTarget::Item {
    uint32_t msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool isSend = false;
    bool answered = false;   // the handler returned `result`
    bool withdrawn = false;  // the sender gave up; the pump skips the item
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
    auto item = std::make_shared<Item>();
    item->msg = msg;
    item->wParam = wParam;
    item->lParam = lParam;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closing)
            return false;
        m_queue.push_back(std::move(item));
    }
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
    auto item = std::make_shared<Item>();
    item->msg = msg;
    item->wParam = wParam;
    item->lParam = lParam;
    item->isSend = true;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closing || CurrentThreadStopping())
        return std::nullopt;
    m_queue.push_back(item);
    m_cond.notify_all();
    ++m_senders;
    std::optional<LRESULT> answer;
    for (;;) {
        if (item->answered) {
            answer = item->result;
            break;
        }
        if (m_closing || CurrentThreadStopping()) {
            item->withdrawn = true;
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
        std::shared_ptr<Item> item = std::move(m_queue.front());
        m_queue.pop_front();
        if (item->withdrawn)
            continue;
        lock.unlock();
        LRESULT result = m_handler(item->msg, item->wParam, item->lParam);
        lock.lock();
        ++handled;
        if (item->isSend) {
            item->result = result;
            item->answered = true;
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
