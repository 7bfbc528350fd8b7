#pragma once

#include <atomic>
#include <functional>
#include <optional>

#include <QObject>

#include "platform/message_target.h"

class QEvent;

// A window handle over Qt's event queue: Post queues an event for the object's thread (the
// user-interface thread), Send queues one and waits for the handler's answer. A Send from
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
    Handler m_handler;
    std::atomic<bool> m_closing{false};
};
