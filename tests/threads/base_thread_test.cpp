#include "threads/base_thread.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/message_target.h"
#include "platform/tick.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testsupport::WaitUntil;

// ---- a clock the tests move by hand ----

std::atomic<uint32_t> g_fakeNow{1000};
std::atomic<uint64_t> g_tickReads{0};

uint32_t FakeTick() {
    ++g_tickReads;
    return g_fakeNow.load();
}

class FakeClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fakeNow = 1000;
        g_tickReads = 0;
        SetTickSource(FakeTick);
    }
    void TearDown() override { SetTickSource(nullptr); }
};

// ---- worker doubles ----

// Counts its runs and the ticks at which they start; `work` (optional) runs inside DoWork
// with the 1-based run number. Stops and joins its thread when destroyed.
template <typename Base>
class Worker : public Base {
public:
    ~Worker() override {
        Base::Stop();
        Base::WaitForExit();
    }
    int DoWork() override {
        int run;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_starts.push_back(GetTick());
            m_startTimes.push_back(steady_clock::now());
            run = static_cast<int>(m_starts.size());
        }
        runs = run;
        if (work)
            work(run);
        return 0;
    }
    std::vector<uint32_t> starts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_starts;
    }
    std::vector<steady_clock::time_point> startTimes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_startTimes;
    }

    std::atomic<int> runs{0};
    std::function<void(int)> work;

private:
    std::mutex m_mutex;
    std::vector<uint32_t> m_starts;
    std::vector<steady_clock::time_point> m_startTimes;
};

using MsgWorker = Worker<cmsgthread>;
using EventWorker = Worker<ceventthread>;

bool RunsReach(std::atomic<int>& runs, int n) {
    return WaitUntil([&] { return runs.load() >= n; });
}

// ---- cmsgthread ----

TEST(MsgThreadTest, ThreeTriggersWhileBusyGiveExactlyThreeMoreRuns) {
    Event release(true, false);
    MsgWorker worker;
    worker.work = [&](int run) {
        if (run == 1)
            release.Wait(kInfinite);
    };
    EXPECT_EQ(worker.Resume(), 1);
    worker.Trigger();
    ASSERT_TRUE(RunsReach(worker.runs, 1));
    worker.Trigger();
    worker.Trigger();
    worker.Trigger();
    EXPECT_EQ(worker.messageQueue().pendingTriggers(), 3u);
    release.Set();
    ASSERT_TRUE(WaitUntil(
        [&] { return worker.runs == 4 && worker.messageQueue().pendingTriggers() == 0; }));
    worker.Stop();
    EXPECT_EQ(worker.WaitForExit(), 1);
    EXPECT_EQ(worker.runs.load(), 4) << "quit ends the wait without a run";
}

TEST(MsgThreadTest, StopEndsTheLoopAfterTheRunningPass) {
    Event release(true, false);
    MsgWorker worker;
    worker.work = [&](int) { release.Wait(kInfinite); };
    worker.Resume();
    worker.Trigger();
    ASSERT_TRUE(RunsReach(worker.runs, 1));
    worker.Trigger();
    worker.Trigger();
    worker.Stop();
    release.Set();
    EXPECT_EQ(worker.WaitForExit(), 1);
    EXPECT_EQ(worker.runs.load(), 1) << "queued triggers do not outlive Stop";
}

TEST(MsgThreadTest, StopEndsAWaitWithoutTimeOutAndAPeriodicWait) {
    for (uint32_t period : {0u, 600000u}) {
        MsgWorker worker;
        worker.SetPeriod(period);
        worker.Resume();
        if (period != 0) {
            ASSERT_TRUE(RunsReach(worker.runs, 1));
        }
        auto start = steady_clock::now();
        worker.Stop();
        EXPECT_EQ(worker.WaitForExit(), 1) << "period " << period;
        EXPECT_LT(steady_clock::now() - start, milliseconds(2000));
    }
}

TEST(MsgThreadTest, PeriodicRunsAreSpacedByThePeriod) {
    MsgWorker worker;
    worker.SetPeriod(150);
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 4));
    auto times = worker.startTimes();
    for (size_t i = 1; i < 4; ++i)
        // Tick rounding and where inside DoWork the time is taken cost a few ms.
        EXPECT_GE(times[i] - times[i - 1], milliseconds(140)) << "run " << i + 1 << " came early";
}

TEST_F(FakeClockTest, MsgThreadWhoseWorkOutlastsThePeriodRunsAgainAtOnce) {
    MsgWorker worker;
    worker.SetPeriod(10000);
    worker.work = [](int) { g_fakeNow += 10001; };  // each pass takes longer than the period
    auto start = steady_clock::now();
    worker.Resume();
    // A wait of the period between passes would take 10 s each.
    ASSERT_TRUE(RunsReach(worker.runs, 5));
    EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
}

TEST(MsgThreadTest, TriggerDuringAPeriodicWaitRunsAtOnce) {
    MsgWorker worker;
    worker.SetPeriod(600000);
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 1));
    worker.Trigger();
    ASSERT_TRUE(RunsReach(worker.runs, 2));
}

TEST(MsgThreadTest, TriggerDuringDoWorkEndsTheNextPeriodicWaitAtOnce) {
    Event release(true, false);
    MsgWorker worker;
    worker.SetPeriod(600000);
    worker.work = [&](int run) {
        if (run == 1)
            release.Wait(kInfinite);
    };
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 1));
    worker.Trigger();
    release.Set();
    ASSERT_TRUE(RunsReach(worker.runs, 2));
}

TEST(MsgThreadTest, PeriodSetByDoWorkTakesEffectAtOnce) {
    // The send thread sets its own period from DoWork.
    MsgWorker worker;
    worker.SetPeriod(600000);
    worker.work = [&](int run) { worker.SetPeriod(run == 1 ? 1 : 600000); };
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 2)) << "the period read before DoWork was used";
}

// ---- ceventthread ----

TEST_F(FakeClockTest, EventThreadCountsThePeriodFromTheEndOfDoWork) {
    EventWorker worker;
    worker.SetPeriod(10000);
    worker.work = [](int) { g_fakeNow += 3000; };  // each pass takes 3,000 ms
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 1));
    ASSERT_TRUE(WaitUntil([&] { return worker.last_run.load() == 4000; }));

    // One millisecond short of the period: a wake-up must not run DoWork.
    g_fakeNow = 13999;
    uint64_t reads = g_tickReads.load();
    worker.event.Set();
    // A wrong run would have set `runs` before its third tick read (loop, DoWork, end).
    ASSERT_TRUE(WaitUntil([&] { return g_tickReads.load() >= reads + 3; }));
    EXPECT_EQ(worker.runs.load(), 1);

    g_fakeNow = 14000;
    worker.event.Set();
    ASSERT_TRUE(RunsReach(worker.runs, 2));
    auto starts = worker.starts();
    EXPECT_EQ(starts[1] - starts[0], 13000u);
}

TEST_F(FakeClockTest, EventThreadWaitsThroughTheTickWrap) {
    g_fakeNow = 4294957196u;
    EventWorker worker;
    worker.SetPeriod(10000);
    worker.work = [](int) { g_fakeNow += 100; };
    worker.Resume();
    ASSERT_TRUE(WaitUntil([&] { return worker.last_run.load() == 4294957296u; }));

    // last_run + period wraps to 0 while the tick has not wrapped yet: 1 ms of the period is
    // left.
    g_fakeNow = 4294967295u;
    uint64_t reads = g_tickReads.load();
    worker.event.Set();
    ASSERT_TRUE(WaitUntil([&] { return g_tickReads.load() >= reads + 3; }));
    EXPECT_EQ(worker.runs.load(), 1) << "ran early at the tick wrap";

    g_fakeNow = 1;  // wrapped, and the period is over
    worker.event.Set();
    ASSERT_TRUE(RunsReach(worker.runs, 2));
}

TEST(MsgThreadTest, QuitPostedWithoutStopEndsTheLoop) {
    MsgWorker worker;
    worker.Resume();
    worker.messageQueue().PostQuit();
    EXPECT_EQ(worker.WaitForExit(), 1);
    EXPECT_EQ(worker.runs.load(), 0);
}

TEST(EventThreadTest, RealRunsStartPeriodAfterThePreviousEnd) {
    EventWorker worker;
    worker.SetPeriod(400);
    worker.work = [](int) { std::this_thread::sleep_for(milliseconds(200)); };  // the work
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 3));
    auto times = worker.startTimes();
    for (size_t i = 1; i < 3; ++i)
        // 600 ms apart; counted from the start of DoWork they would be 400 ms apart.
        EXPECT_GE(times[i] - times[i - 1], milliseconds(580)) << "run " << i + 1;
}

TEST_F(FakeClockTest, EventThreadTriggerMidWaitRunsAtOnceAndRestartsThePeriod) {
    EventWorker worker;
    worker.SetPeriod(10000);
    worker.work = [](int) { g_fakeNow += 100; };
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 1));
    ASSERT_TRUE(WaitUntil([&] { return worker.last_run.load() == 1100; }));

    g_fakeNow = 5000;
    worker.Trigger();
    ASSERT_TRUE(RunsReach(worker.runs, 2));
    ASSERT_TRUE(WaitUntil([&] { return worker.last_run.load() == 5100; }));
    EXPECT_EQ(worker.starts()[1], 5000u);

    g_fakeNow = 15099;
    uint64_t reads = g_tickReads.load();
    worker.event.Set();
    ASSERT_TRUE(WaitUntil([&] { return g_tickReads.load() >= reads + 3; }));
    EXPECT_EQ(worker.runs.load(), 2) << "the period counts from the triggered run's end";
    g_fakeNow = 15100;
    worker.event.Set();
    ASSERT_TRUE(RunsReach(worker.runs, 3));
}

TEST_F(FakeClockTest, EventThreadTriggeredDuringDoWorkRunsAgainAtOnce) {
    Event release(true, false);
    EventWorker worker;
    worker.SetPeriod(10000);
    worker.work = [&](int run) {
        if (run == 1)
            release.Wait(kInfinite);
    };
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 1));
    worker.Trigger();
    release.Set();
    ASSERT_TRUE(RunsReach(worker.runs, 2)) << "a trigger during DoWork was lost";
}

TEST_F(FakeClockTest, PausedEventThreadRunsOnlyWhenTriggeredOrUnpaused) {
    EventWorker worker;
    worker.SetPeriod(100);
    worker.SetPause(1);
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 1)) << "the first pass runs even when paused";
    ASSERT_TRUE(WaitUntil([&] { return worker.last_run.load() != 0; }));

    g_fakeNow = 50000;  // many periods later
    // A timed wait (the fault looked for) would end within this window and run again.
    EXPECT_FALSE(WaitUntil([&] { return worker.runs.load() > 1; }, milliseconds(300)));

    worker.Trigger();
    ASSERT_TRUE(RunsReach(worker.runs, 2));
    EXPECT_FALSE(WaitUntil([&] { return worker.runs.load() > 2; }, milliseconds(300)))
        << "a trigger while paused runs DoWork once";

    g_fakeNow = 60000;
    worker.SetPause(0);
    ASSERT_TRUE(RunsReach(worker.runs, 3));
}

TEST(EventThreadTest, WithPeriodZeroEachTriggerIsOneRunAndStopEndsTheWait) {
    EventWorker worker;
    worker.Resume();
    // The first pass runs at once, and the event, created signalled, gives a second.
    ASSERT_TRUE(RunsReach(worker.runs, 2));
    worker.Trigger();
    ASSERT_TRUE(RunsReach(worker.runs, 3));
    worker.Stop();
    EXPECT_EQ(worker.WaitForExit(), 1);
    EXPECT_EQ(worker.runs.load(), 3);
}

TEST(EventThreadTest, WithPeriodZeroATriggerDuringDoWorkIsOneMoreRun) {
    Event release(true, false);
    EventWorker worker;
    worker.work = [&](int run) {
        if (run == 3)
            release.Wait(kInfinite);
    };
    worker.Resume();
    ASSERT_TRUE(RunsReach(worker.runs, 2));
    worker.Trigger();
    ASSERT_TRUE(RunsReach(worker.runs, 3));  // blocked inside run 3
    worker.Trigger();
    release.Set();
    ASSERT_TRUE(RunsReach(worker.runs, 4));
    worker.Stop();
    EXPECT_EQ(worker.WaitForExit(), 1);
    EXPECT_EQ(worker.runs.load(), 4) << "one trigger gave two runs";
}

// ---- lifecycle ----

class LifecycleThread : public cbasethread {
public:
    int OnInit() override {
        order += "I";
        return 0;
    }
    int Run() override {
        order += "R";
        return 0;
    }
    int OnExit() override {
        order += "X";
        return 7;
    }
    std::string order;  // written by the thread only, read after it was joined
};

TEST(BaseThreadTest, ThreadEntryRunsInitRunExitAndWaitForExitReportsTheEnd) {
    LifecycleThread thread;
    EXPECT_NE(thread.thread_id, 0u);
    EXPECT_EQ(thread.Reserved1(), 0);
    EXPECT_EQ(thread.Reserved2(), 0);
    EXPECT_EQ(thread.Resume(), 1);
    EXPECT_EQ(thread.WaitForExit(), 1);
    EXPECT_EQ(thread.order, "IRX");
    EXPECT_EQ(thread.thread.exitCode(), 7u) << "OnExit gives the exit code";
    EXPECT_FALSE(thread.abandoned());
    EXPECT_EQ(thread.WaitForExit(), 0) << "no thread any more";
    EXPECT_EQ(thread.Resume(), -1);
}

TEST(BaseThreadTest, ObjectDeletedBeforeResumeNeitherRunsNorHangs) {
    auto* thread = new LifecycleThread;
    delete thread;
    SUCCEED();
}

// A worker whose pass blocks until released. Its objects are kept reachable for good in a
// plain array (no destructor at exit to make them look leaked): an abandoned thread's object
// may never be freed.
template <typename Base>
struct Stuck : Base {
    int DoWork() override {
        entered = true;
        release.Wait(kInfinite);
        finished = true;
        return 0;
    }
    Event release{true, false};
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
};
cbasethread* g_abandoned[64];
std::atomic<int> g_abandonedCount{0};

template <typename Base>
Stuck<Base>* NewStuck() {
    auto* stuck = new Stuck<Base>;
    int n = g_abandonedCount++;
    if (n < 64)
        g_abandoned[n] = stuck;
    return stuck;
}

TEST(BaseThreadTest, ThreadThatDoesNotEndIsAbandonedAfterTheWaitNotCancelled) {
    auto* stuck = NewStuck<cmsgthread>();
    stuck->Resume();
    stuck->Trigger();
    ASSERT_TRUE(WaitUntil([&] { return stuck->entered.load(); }));
    stuck->Stop();

    auto start = steady_clock::now();
    EXPECT_EQ(stuck->WaitForExit(), 2);
    auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(kThreadExitWaitMs));
    EXPECT_LT(waited, milliseconds(kThreadExitWaitMs + 2000));
    EXPECT_TRUE(stuck->abandoned());
    EXPECT_EQ(stuck->WaitForExit(), 0);

    // Not cancelled: the thread goes on and finishes its work on its own.
    stuck->release.Set();
    EXPECT_TRUE(WaitUntil([&] { return stuck->finished.load(); }));
}

TEST(BaseThreadTest, ExitWaitCanBeShortened) {
    auto* stuck = NewStuck<ceventthread>();
    stuck->Resume();
    ASSERT_TRUE(WaitUntil([&] { return stuck->entered.load(); }));
    stuck->Stop();
    auto start = steady_clock::now();
    EXPECT_EQ(stuck->WaitForExit(50), 2);
    EXPECT_LT(steady_clock::now() - start, milliseconds(2000));
    stuck->release.Set();
    EXPECT_TRUE(WaitUntil([&] { return stuck->finished.load(); }));
}

TEST(BaseThreadTest, SendFromAStoppingWorkerGivesUp) {
    QueueMessageTarget target([](uint32_t, WPARAM, LPARAM) -> LRESULT { return 1; });
    std::atomic<int> outcome{0};  // 0 none, 1 answered, 2 refused
    MsgWorker worker;
    worker.work = [&](int) {
        // Nobody pumps the target: only the stop flag can end this send.
        outcome = target.Send(WM_USER + 1, 0, 0).has_value() ? 1 : 2;
    };
    worker.Resume();
    worker.Trigger();
    ASSERT_TRUE(RunsReach(worker.runs, 1));
    worker.Stop();
    EXPECT_EQ(worker.WaitForExit(), 1);
    EXPECT_EQ(outcome.load(), 2);
}

}  // namespace
