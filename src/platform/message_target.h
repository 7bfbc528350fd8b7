#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/event.h"
#include "platform/messages.h"

// One posted message.
struct PostedMessage {
    uint32_t msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// The window handle of the worker threads: where they post and send messages.
// The UI implements it over Qt events; QueueMessageTarget below serves tests and
// benchmarks. Post, PostBatch and Send may be called from any thread. A target wakes its
// thread only when its queue goes from empty to non-empty.
class MessageTarget {
public:
    virtual ~MessageTarget() = default;

    // Queues the message; false when the target is closing (the message is dropped).
    virtual bool Post(uint32_t msg, WPARAM wParam, LPARAM lParam) = 0;
    // Queues `count` messages in order, as that many Posts would, taking the queue once for
    // all of them; false when the target is closing (all are dropped). The default posts
    // them one by one.
    virtual bool PostBatch(const PostedMessage* messages, size_t count);
    // Delivers the message and waits for the handler's answer. Gives up, returning
    // nullopt, when the target is closing or the calling worker thread is stopping
    // (see SetCurrentThreadStopFlag), so no exit path can hang on a send.
    virtual std::optional<LRESULT> Send(uint32_t msg, WPARAM wParam, LPARAM lParam) = 0;
};

// A worker thread registers its stop flag here (thread-local) so that a Send it makes
// gives up once the flag is set. The thread framework does this for every worker.
void SetCurrentThreadStopFlag(const std::atomic<uint8_t>* stopFlag);
// True when the calling thread registered a stop flag and it is set.
bool CurrentThreadStopping();

// A plain message target: messages wait in a queue until the owner thread pumps them
// through its handler. Tests and benchmarks use it where the UI would be.
class QueueMessageTarget : public MessageTarget {
public:
    using Handler = std::function<LRESULT(uint32_t msg, WPARAM wParam, LPARAM lParam)>;

    explicit QueueMessageTarget(Handler handler);
    // Closes first, then waits until every released sender has left Send.
    ~QueueMessageTarget() override;

    bool Post(uint32_t msg, WPARAM wParam, LPARAM lParam) override;
    bool PostBatch(const PostedMessage* messages, size_t count) override;
    std::optional<LRESULT> Send(uint32_t msg, WPARAM wParam, LPARAM lParam) override;

    // Owner thread: handles the messages queued now, in order, waiting up to `timeoutMs`
    // (kInfinite: forever) for the first one; returns how many were handled. The thread
    // that pumps (at first the one that constructed the target) is the owner: a Send made
    // on it is handled at once instead of queued, so it cannot wait for itself.
    size_t Pump(uint32_t timeoutMs);
    // Any thread: refuses further messages, releases every waiting sender (they get
    // nullopt) and drops what is queued.
    void Close();
    bool closing() const;
    // Threads waiting inside Send for an answer (tests).
    int waitingSenders() const;

private:
    // A sent message's answer, shared by the waiting sender and the queue.
    struct Reply;
    // A queued message; `reply` only for a sent one, so a post allocates nothing of its own.
    struct Entry {
        PostedMessage message;
        std::shared_ptr<Reply> reply;
    };
    Handler m_handler;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;      // the queue became non-empty, or closing
    std::condition_variable m_answered;  // a sent message was answered, or closing
    std::deque<Entry> m_queue;
    bool m_closing = false;
    int m_senders = 0;  // threads inside Send, waiting for an answer
    std::atomic<std::thread::id> m_owner;
};
