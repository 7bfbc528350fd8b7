#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/message_target.h"
#include "platform/messages.h"
#include "threads/base_thread.h"

class BoxPresenter;
class ProgramLauncher;
class ToneOutput;

// Posted by the mail, program and box threads to a job's owner after the job:
// wParam = the ring's read index after the job, lParam = the job's result.
constexpr uint32_t WM_JOB_DONE = WM_USER + 1001;

constexpr uint32_t kMailRingSlots = 2048;
constexpr uint32_t kExecRingSlots = 256;
constexpr uint32_t kBoxRingSlots = 2048;
constexpr uint32_t kBeepRingSlots = 2048;
// Recipients one mail job carries; a longer list is cut.
constexpr uint32_t kMaxMailRecipients = 256;

// The tones of one beep pair.
constexpr uint32_t kBeepHighHz = 3000;
constexpr uint32_t kBeepLowHz = 2000;
constexpr uint32_t kBeepToneMs = 500;

// The window a job reports to when it is done. Held weakly: a window that has gone by then
// simply gets no WM_JOB_DONE, so nothing is ever delivered to freed memory. The default
// (or nullptr) is no owner; alert jobs have none.
class JobOwner {
public:
    JobOwner() = default;
    JobOwner(std::nullptr_t) {}
    template <typename T>
    JobOwner(const std::shared_ptr<T>& target) : m_target(target), m_named(target != nullptr) {}

    // The target while it still exists; nullptr for none or gone.
    std::shared_ptr<MessageTarget> lock() const { return m_target.lock(); }
    // True when the job was queued without an owner (an alert): nobody is told its result.
    bool none() const { return !m_named; }

private:
    std::weak_ptr<MessageTarget> m_target;
    bool m_named = false;
};

struct CMailJob {
    JobOwner owner;
    std::string server;
    uint16_t port = 0;
    std::string sender_name;
    std::string sender_address;
    uint8_t logon = 0;
    std::string user;
    std::string password;
    uint32_t recipient_count = 0;
    std::array<std::string, kMaxMailRecipients> recipients;
    std::string subject;
    std::string body;
    int32_t high_priority = 0;
};

struct CExecJob {
    JobOwner owner;
    std::string program;
    std::string parameters;
};

// A box job has the shape of a program job: owner, box text, box caption.
struct CBoxJob {
    JobOwner owner;
    std::string text;
    std::string caption;
};

struct CBeepJob {
    uint32_t owner = 0;  // stored, never used
    int32_t pairs = 0;   // 0: sound until cancelled
};

// A fixed ring of preallocated job records with one producer lock. One slot always stays
// free: the ring is empty when the indexes are equal and full when the write index plus one
// (wrapped) is the read index. The write index moves (release) only after its slot is
// filled, and the consumer reads a slot's owner before it moves the read index (release),
// so a producer never overwrites a slot that is being worked.
template <typename Job, uint32_t kSlots>
class JobRing {
    static_assert((kSlots & (kSlots - 1)) == 0, "ring size must be a power of two");

public:
    static constexpr uint32_t kMask = kSlots - 1;

    JobRing() : m_slots(new Job[kSlots]) {}

    // Producer side, under lock(): true when one more job fits.
    bool HasRoom() const {
        return ((m_write.load(std::memory_order_relaxed) + 1) & kMask) !=
               m_read.load(std::memory_order_acquire);
    }
    Job& WriteSlot() { return m_slots[m_write.load(std::memory_order_relaxed)]; }
    void Publish() {
        m_write.store((m_write.load(std::memory_order_relaxed) + 1) & kMask,
                      std::memory_order_release);
    }
    std::mutex& lock() { return m_lock; }

    // Consumer side (the queue thread only).
    bool Empty() const {
        return m_read.load(std::memory_order_relaxed) == m_write.load(std::memory_order_acquire);
    }
    Job& ReadSlot() { return m_slots[m_read.load(std::memory_order_relaxed)]; }
    // Moves past the job just worked; returns the new read index.
    uint32_t Advance() {
        const uint32_t next = (m_read.load(std::memory_order_relaxed) + 1) & kMask;
        m_read.store(next, std::memory_order_release);
        return next;
    }
    // Drops every job waiting now; returns how many there were.
    uint32_t DropAll() {
        const uint32_t write = m_write.load(std::memory_order_acquire);
        const uint32_t dropped = (write - m_read.load(std::memory_order_relaxed)) & kMask;
        m_read.store(write, std::memory_order_release);
        return dropped;
    }

    uint32_t readIndex() const { return m_read.load(std::memory_order_acquire); }
    uint32_t writeIndex() const { return m_write.load(std::memory_order_acquire); }

private:
    std::unique_ptr<Job[]> m_slots;
    std::atomic<uint32_t> m_write{0};
    std::atomic<uint32_t> m_read{0};
    std::mutex m_lock;
};

// How long the mail thread goes on sending after it was told to stop, well within the
// wait for its end; the mails still queued then are dropped.
constexpr uint32_t kMailSendAfterStopMs = kThreadExitWaitMs * 2 / 3;

// The mail queue: each job is one SMTP delivery. Results: 0 delivered, 1 log-on connect
// failed, 2 plain connect failed, 3 the send dialogue failed after the connect. A mail that
// fails writes a log line with its result and reason; mails dropped at exit are counted in
// one log line.
class cmailthread : public cmsgthread {
public:
    cmailthread();
    // Drops the mails still queued.
    ~cmailthread() override;

    // Queues one mail: 0, or -1 when the ring is full (nothing is copied). A recipient count
    // above 256 is cut to 256; `recipients` holds at least `recipientCount` texts.
    // User-interface thread (any producer thread; producers are serialised).
    int AddMail(const JobOwner& owner, const std::string& server, uint16_t port,
                const std::string& senderName, const std::string& senderAddress, uint8_t logon,
                const std::string& user, const std::string& password, uint32_t recipientCount,
                const std::string* recipients, const std::string& subject, const std::string& body,
                int32_t highPriority);

    // Works off every job queued so far, one dialogue after the other; once the thread has
    // been told to stop for kMailSendAfterStopMs, the jobs not yet begun are dropped.
    // Mail thread.
    int DoWork() override;

    // Ring positions (any thread; a snapshot).
    uint32_t readIndex() const { return m_ring.readIndex(); }
    uint32_t writeIndex() const { return m_ring.writeIndex(); }

    // Why the mail with an owner whose WM_JOB_DONE carried `next` failed; empty when it did
    // not fail or a later failed mail with an owner took its place. Any thread.
    std::string FailureReason(uint32_t next) const;

private:
    void DropQueued();

    JobRing<CMailJob, kMailRingSlots> m_ring;
    mutable std::mutex m_failureLock;
    std::pair<uint32_t, std::string> m_ownedFailure{UINT32_MAX, {}};
};

// The program queue: each job starts a program with its parameter line. Results: 1 started,
// 0 could not start. The thread does not wait for the program to end.
class cexecthread : public cmsgthread {
public:
    // `launcher`: nullptr for the real one.
    explicit cexecthread(ProgramLauncher* launcher = nullptr);
    ~cexecthread() override;

    // Queues one program run: 0, or -1 when the ring is full. User-interface thread.
    int AddCommand(const JobOwner& owner, const std::string& program,
                   const std::string& parameters);

    // Works off every job queued so far. Program thread.
    int DoWork() override;

    uint32_t readIndex() const { return m_ring.readIndex(); }
    uint32_t writeIndex() const { return m_ring.writeIndex(); }

private:
    JobRing<CExecJob, kExecRingSlots> m_ring;
    ProgramLauncher* m_launcher;
};

// The popup queue: each job shows a box with one OK button and waits until it is closed,
// so boxes appear one after the other. Stop also takes down a box that is showing, and the
// jobs behind it stay in the ring. Result 0.
class cboxthread : public cmsgthread {
public:
    // `presenter`: nullptr for the installed one (see platform/box_presenter.h).
    explicit cboxthread(BoxPresenter* presenter = nullptr);
    ~cboxthread() override;

    // Queues one box: 0, or -1 when the ring is full. User-interface thread.
    int AddBox(const JobOwner& owner, const std::string& caption, const std::string& text);

    // Shows the queued boxes one by one until the ring is empty or the thread stops.
    // Box thread.
    int DoWork() override;

    uint32_t readIndex() const { return m_ring.readIndex(); }
    uint32_t writeIndex() const { return m_ring.writeIndex(); }

private:
    JobRing<CBoxJob, kBoxRingSlots> m_ring;
    BoxPresenter* m_presenter;
};

// The sound queue: each request is a number of beep pairs (3,000 Hz then 2,000 Hz, half a
// second each); 0 sounds until Cancel. Requests that arrive while it sounds are taken one per
// pair. Posts nothing.
class cbeepthread : public cmsgthread {
public:
    // `tone`: nullptr for the real one.
    explicit cbeepthread(ToneOutput* tone = nullptr);
    ~cbeepthread() override;

    // Queues one request: 0, or -1 when the ring is full. User-interface thread.
    int AddRequest(uint32_t owner, int32_t pairs);
    // Ends the sound after the current pair and drops every waiting request; affects only a
    // pass that is running. User-interface thread.
    void Cancel();

    // One beep pass. Beep thread.
    int DoWork() override;

    uint32_t readIndex() const { return m_ring.readIndex(); }
    uint32_t writeIndex() const { return m_ring.writeIndex(); }

    std::atomic<uint8_t> cancel{0};

private:
    JobRing<CBeepJob, kBeepRingSlots> m_ring;
    ToneOutput* m_tone;
};

// The four queue threads, made and deleted by the main frame; nullptr when not running.
extern cmailthread* g_pMailThread;
extern cexecthread* g_pExecThread;
extern cboxthread* g_pBoxThread;
extern cbeepthread* g_pBeepThread;
