#include "threads/base_thread.h"

#include "platform/message_target.h"
#include "platform/tick.h"

// ---- cbasethread ----

cbasethread::cbasethread() {
    // The thread waits behind its start gate, so it never sees a half-built object: the
    // owner resumes it only once the most derived constructor has finished.
    if (thread.Create([this] { return ThreadEntry(this); }))
        thread_id = thread.id();
}

cbasethread::~cbasethread() = default;

int cbasethread::Run() {
    return 0;
}

int cbasethread::OnExit() {
    return 0;
}

int cbasethread::OnInit() {
    return 0;
}

int cbasethread::DoWork() {
    return 0;
}

int cbasethread::Trigger() {
    return 0;
}

int cbasethread::Stop() {
    stop.store(1);
    return 0;
}

int cbasethread::Reserved1() {
    return 0;
}

int cbasethread::Reserved2() {
    return 0;
}

int cbasethread::SetPause(uint8_t flag) {
    pause.store(flag);
    return 0;
}

void cbasethread::SetPeriod(uint32_t ms) {
    period.store(ms);
}

int cbasethread::Resume() {
    return thread.Resume();
}

int cbasethread::WaitForExit(uint32_t timeoutMs) {
    if (!thread.created())
        return 0;
    if (thread.WaitForEnd(timeoutMs))
        return 1;
    // Cancelling a thread mid-work could leave locks held and records half written; it is
    // given up instead and may finish on its own. This object stays in its use.
    thread.Abandon();
    m_abandoned = true;
    return 2;
}

uint32_t cbasethread::ThreadEntry(cbasethread* object) {
    SetCurrentThreadStopFlag(&object->stop);
    object->OnInit();
    object->Run();
    uint32_t code = static_cast<uint32_t>(object->OnExit());
    SetCurrentThreadStopFlag(nullptr);
    return code;
}

// ---- cmsgthread ----

int cmsgthread::Run() {
    while (stop.load() == 0) {
        uint32_t wanted = period.load();
        if (wanted != 0) {
            uint32_t start = GetTick();
            DoWork();
            uint32_t elapsed = GetTick() - start;
            wanted = period.load();  // DoWork may have changed it
            // A trigger or quit ends this wait early; a trigger posted during DoWork is
            // still queued and ends it at once.
            if (elapsed < wanted &&
                m_queue.Wait(wanted - elapsed) == ThreadQueue::WaitResult::kQuit)
                break;
        } else {
            ThreadQueue::WaitResult woken = m_queue.Wait(kInfinite);
            // Quit stays posted and would end every later wait at once: the loop ends on
            // it rather than spin until `stop` is seen.
            if (woken == ThreadQueue::WaitResult::kQuit)
                break;
            DoWork();
        }
    }
    return 0;
}

int cmsgthread::Trigger() {
    m_queue.PostTrigger();
    return 0;
}

int cmsgthread::Stop() {
    stop.store(1);
    m_queue.PostQuit();
    return 0;
}

// ---- ceventthread ----

ceventthread::ceventthread() = default;

ceventthread::~ceventthread() {
    event.Set();
}

int ceventthread::Run() {
    while (stop.load() == 0) {
        uint32_t now = GetTick();
        uint32_t wanted = period.load();
        uint32_t last = last_run.load();
        uint32_t wait = 0;
        // Elapsed time rather than "last + period > now", which breaks when the tick wraps.
        if (last != 0 && now - last < wanted) {
            wait = wanted - (now - last);
        } else {
            // last_run holds the start tick while DoWork runs, so a Trigger that clears it
            // meanwhile is seen afterwards and runs DoWork again at once, not a period later.
            last_run.store(now);
            DoWork();
            uint32_t end = GetTick();
            uint32_t expected = now;
            if (!last_run.compare_exchange_strong(expected, end)) {
                // Triggered during DoWork: last_run stays 0, so the next pass runs. The
                // trigger's signal follows its store of 0; taking it here keeps one trigger
                // to one run, also with period 0 where every wake-up runs DoWork.
                event.Wait(kInfinite);
                continue;
            }
            uint32_t elapsed = end - now;
            wanted = period.load();
            if (wanted != 0 && elapsed >= wanted && pause.load() == 0)
                continue;
            wait = wanted - elapsed;
        }
        if (pause.load() != 0 || wanted == 0)
            wait = kInfinite;
        event.Wait(wait);
    }
    return 0;
}

int ceventthread::Trigger() {
    last_run.store(0);
    event.Set();
    return 0;
}

int ceventthread::Stop() {
    stop.store(1);
    event.Set();
    return 0;
}

int ceventthread::SetPause(uint8_t flag) {
    pause.store(flag);
    if (flag == 0)
        event.Set();
    return 0;
}
