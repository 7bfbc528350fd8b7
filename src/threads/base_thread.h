#pragma once

#include <atomic>
#include <cstdint>

#include "platform/event.h"
#include "platform/thread.h"
#include "platform/thread_queue.h"

// How long WaitForExit waits for a worker to end before giving it up.
constexpr uint32_t kThreadExitWaitMs = 3000;

// Root of every worker thread. The object owns one system thread, created suspended by the
// constructor; Resume starts it, and the thread runs OnInit, Run and OnExit (ThreadEntry).
// Lifecycle, kept by the owner: construct -> SetPeriod -> Resume -> Stop -> WaitForExit ->
// delete. The owner thread calls every function here unless said otherwise; Trigger, Stop
// and SetPause may be called from any thread.
//
// A thread that does not end within the wait is never cancelled: WaitForExit gives it up
// (detached, still running) and returns 2. Such an object is still in use by its thread and
// MUST NOT be deleted; the owner leaks it on purpose. abandoned() tells whether that happened.
class cbasethread {
public:
    cbasethread();
    virtual ~cbasethread();
    cbasethread(const cbasethread&) = delete;
    cbasethread& operator=(const cbasethread&) = delete;

    // The loop of the thread; the base returns 0 at once. Worker thread.
    virtual int Run();
    // Called after Run; its result is the thread's exit code. Worker thread.
    virtual int OnExit();
    // Called before Run. Worker thread.
    virtual int OnInit();
    // One pass of the thread's work; never runs twice at once for one object. Worker thread.
    virtual int DoWork();
    // Asks for one more pass of DoWork. Any thread.
    virtual int Trigger();
    // Sets `stop`; the loop ends after the running DoWork. Any thread.
    virtual int Stop();
    // Two slots that no worker uses; each returns 0.
    virtual int Reserved1();
    virtual int Reserved2();
    // Stores `pause`. Any thread.
    virtual int SetPause(uint8_t flag);

    // Stores the period in ms (0: only when triggered); the loop uses it at its next
    // computation. Any thread.
    void SetPeriod(uint32_t ms);
    // Opens the thread's start gate: the previous suspend count (1 the first time, 0 when
    // already running), -1 when there is no thread.
    int Resume();
    // 0: there is no thread (never created, or already waited for). 1: the thread ended
    // within `timeoutMs` and was joined. 2: it did not; it is abandoned, and this object
    // must never be deleted (see the class comment).
    int WaitForExit(uint32_t timeoutMs = kThreadExitWaitMs);
    // True once WaitForExit gave the thread up.
    bool abandoned() const { return m_abandoned; }

    // The thread procedure: registers `stop` as the thread's stop flag (so a message sent
    // from a stopping worker gives up), then OnInit, Run, and returns OnExit's result.
    static uint32_t ThreadEntry(cbasethread* object);

    std::atomic<uint8_t> stop{0};     // 1: the loop ends at its next check
    std::atomic<uint8_t> pause{0};    // 1: ceventthread waits without a time-out
    std::atomic<uint32_t> period{0};  // ms between runs of DoWork; 0: only when triggered
    SuspendedThread thread;           // created suspended by the constructor
    uint32_t thread_id = 0;           // the thread's id; 0 when creation failed

private:
    bool m_abandoned = false;
};

// A worker that waits on its own message queue: Trigger posts one trigger (each trigger is
// one more run of DoWork; one posted during DoWork ends the next wait at once), Stop posts
// quit, and the periodic wait is a timed queue wait. Period 0: runs only when triggered.
class cmsgthread : public cbasethread {
public:
    int Run() override;
    int Trigger() override;
    int Stop() override;

    // The thread's queue (tests look at pending triggers).
    ThreadQueue& messageQueue() { return m_queue; }

private:
    ThreadQueue m_queue;
};

// A worker that waits on an auto-reset event; the next run starts `period` ms after the
// previous DoWork ended, at once on the first pass and after Trigger (also a Trigger that
// comes while DoWork runs). With `pause` set or period 0 it sleeps until the event is
// signalled; as the event is created signalled, a period-0 worker makes two passes at start.
// While DoWork runs, `last_run` holds the tick at which that run started.
class ceventthread : public cbasethread {
public:
    ceventthread();
    ~ceventthread() override;

    int Run() override;
    int Trigger() override;
    int Stop() override;
    int SetPause(uint8_t flag) override;

    Event event{false, true};           // auto-reset, created signalled
    std::atomic<uint32_t> last_run{0};  // tick at which the last DoWork ended; 0: run at once
};
