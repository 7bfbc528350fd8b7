#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include <QObject>

#include "platform/message_target.h"

class QEvent;

// A window handle over Qt's event queue: Post queues a message for the object's thread (the
// user-interface thread), Send queues one and waits for the handler's answer. Posted
// messages are gathered and delivered in one event per batch: the receive thread posts a
// reply for every echo, and waking the event loop once per message costs the engine more
// than the handlers do. Order is kept, also between posted and sent messages. A Send from
// the user-interface thread itself runs the handler at once. A waiting Send gives up
// (nullopt) when the calling worker is stopping or the target is closing, so no exit path
// can hang on it. Post, Send and Close: any thread. The handler runs on the object's thread.
class QtMessageTarget : public QObject, public MessageTarget {
    Q_OBJECT
public:
    using Handler = std::function<LRESULT(uint32_t msg, WPARAM wParam, LPARAM lParam)>;

    // Lives on the thread that constructs it.
    explicit QtMessageTarget(Handler handler, QObject* parent = nullptr);
    ~QtMessageTarget() override;

    bool Post(uint32_t msg, WPARAM wParam, LPARAM lParam) override;
    bool PostBatch(const PostedMessage* messages, size_t count) override;
    std::optional<LRESULT> Send(uint32_t msg, WPARAM wParam, LPARAM lParam) override;

    // Refuses further messages and releases every waiting sender. Any thread.
    void Close();
    bool closing() const { return m_closing.load(); }

    // The event type used for the messages.
    static int EventType();

    // What a waiting sender shares with its queued message.
    struct Reply;

protected:
    bool event(QEvent* e) override;

private:
    // Runs the posted messages queued so far, in order. Object's thread.
    void DeliverPosted();

    Handler m_handler;
    std::atomic<bool> m_closing{false};
    std::mutex m_postedMutex;
    // A delivery event is queued whenever a message enters this queue empty.
    std::deque<PostedMessage> m_posted;
};
