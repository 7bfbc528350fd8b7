#include "ui/qt_message_target.h"

#include <chrono>
#include <condition_variable>

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

// The answer a sender waits for. Shared by the sender and the queued event, so either may
// go first.
struct QtMessageTarget::Reply {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    bool abandoned = false;  // the sender gave up: the handler must not run any more
    LRESULT result = 0;
};

namespace {

class MessageEvent : public QEvent {
public:
    MessageEvent(uint32_t msg, WPARAM wParam, LPARAM lParam,
                 std::shared_ptr<QtMessageTarget::Reply> reply)
        : QEvent(static_cast<QEvent::Type>(QtMessageTarget::EventType())),
          m_msg(msg),
          m_wParam(wParam),
          m_lParam(lParam),
          m_reply(std::move(reply)) {}

    uint32_t m_msg;
    WPARAM m_wParam;
    LPARAM m_lParam;
    std::shared_ptr<QtMessageTarget::Reply> m_reply;
};

// The event that delivers the posted messages gathered since it was queued.
class PostedEvent : public QEvent {
public:
    PostedEvent() : QEvent(static_cast<QEvent::Type>(QtMessageTarget::EventType())) {}
};

// How long a waiting sender sleeps before it looks at its stop flag and the target again.
constexpr auto kSendSlice = std::chrono::milliseconds(10);

}  // namespace

QtMessageTarget::QtMessageTarget(Handler handler, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)) {}

QtMessageTarget::~QtMessageTarget() {
    Close();
}

int QtMessageTarget::EventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

bool QtMessageTarget::Post(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    const PostedMessage message{msg, wParam, lParam};
    return PostBatch(&message, 1);
}

bool QtMessageTarget::PostBatch(const PostedMessage* messages, size_t count) {
    if (m_closing.load())
        return false;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_postedMutex);
        first = m_posted.empty() && count != 0;
        m_posted.insert(m_posted.end(), messages, messages + count);
    }
    // Every message gathered behind this event is delivered by it, before anything queued
    // later (a Send among them), so the order of all messages is kept.
    if (first)
        QCoreApplication::postEvent(this, new PostedEvent);
    return true;
}

void QtMessageTarget::DeliverPosted() {
    // One message at a time from the shared queue: a handler that runs a nested event loop
    // then goes on with the messages after its own, in order, instead of skipping them.
    for (;;) {
        PostedMessage m;
        {
            std::lock_guard<std::mutex> lock(m_postedMutex);
            if (m_posted.empty())
                return;
            m = m_posted.front();
            m_posted.pop_front();
        }
        if (m_closing.load() || !m_handler)
            continue;
        m_handler(m.msg, m.wParam, m.lParam);
    }
}

std::optional<LRESULT> QtMessageTarget::Send(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (m_closing.load())
        return std::nullopt;
    if (QThread::currentThread() == thread())
        return m_handler ? m_handler(msg, wParam, lParam) : 0;

    auto reply = std::make_shared<Reply>();
    QCoreApplication::postEvent(this, new MessageEvent(msg, wParam, lParam, reply));
    std::unique_lock<std::mutex> lock(reply->mutex);
    while (!reply->done) {
        if (m_closing.load() || CurrentThreadStopping()) {
            reply->abandoned = true;
            return std::nullopt;
        }
        reply->cond.wait_for(lock, kSendSlice);
    }
    return reply->result;
}

void QtMessageTarget::Close() {
    m_closing.store(true);
}

bool QtMessageTarget::event(QEvent* e) {
    if (e->type() != EventType())
        return QObject::event(e);
    auto* m = dynamic_cast<MessageEvent*>(e);
    if (m == nullptr) {
        DeliverPosted();
        return true;
    }
    // Whatever was posted before this message was sent is handled before it, also when a
    // nested event loop reaches this event ahead of the delivery event.
    DeliverPosted();
    {
        std::lock_guard<std::mutex> lock(m->m_reply->mutex);
        if (m->m_reply->abandoned)
            return true;
    }
    const LRESULT result = m_handler ? m_handler(m->m_msg, m->m_wParam, m->m_lParam) : 0;
    std::lock_guard<std::mutex> lock(m->m_reply->mutex);
    m->m_reply->result = result;
    m->m_reply->done = true;
    m->m_reply->cond.notify_all();
    return true;
}
