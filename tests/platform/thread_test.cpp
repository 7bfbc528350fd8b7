#include "platform/thread.h"

#include <atomic>
#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/event.h"

namespace {

TEST(SuspendedThreadTest, BodyRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    Event release(true, false);
    SuspendedThread thread;
    ASSERT_TRUE(thread.Create([&]() -> uint32_t {
        ran = true;
        release.Wait(kInfinite);
        return 42;
    }));
    EXPECT_TRUE(thread.created());
    EXPECT_FALSE(thread.WaitForEnd(30)) << "a suspended thread cannot end";
    EXPECT_FALSE(ran.load());

    EXPECT_EQ(thread.Resume(), 1);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return ran.load(); }));
    EXPECT_EQ(thread.Resume(), 0) << "a running thread is not suspended";
    EXPECT_FALSE(thread.WaitForEnd(20));

    release.Set();
    EXPECT_TRUE(thread.WaitForEnd(10000));
    EXPECT_EQ(thread.exitCode(), 42u);
    EXPECT_FALSE(thread.created()) << "a joined thread is no longer held";
    EXPECT_EQ(thread.Resume(), -1);
}

TEST(SuspendedThreadTest, WithoutAThreadNothingWorks) {
    SuspendedThread thread;
    EXPECT_FALSE(thread.created());
    EXPECT_EQ(thread.Resume(), -1);
    EXPECT_FALSE(thread.WaitForEnd(0));
    EXPECT_EQ(thread.id(), 0u);
    EXPECT_FALSE(thread.Create(nullptr));
}

TEST(SuspendedThreadTest, IdsAreNonZeroUniqueAndSeenByTheThreadItself) {
    std::set<uint32_t> ids;
    for (int i = 0; i < 5; ++i) {
        std::atomic<uint32_t> seen{0};
        SuspendedThread thread;
        ASSERT_TRUE(thread.Create([&]() -> uint32_t {
            seen = CurrentThreadId();
            return 0;
        }));
        EXPECT_NE(thread.id(), 0u);
        thread.Resume();
        ASSERT_TRUE(thread.WaitForEnd(10000));
        EXPECT_EQ(seen.load(), thread.id());
        ids.insert(thread.id());
    }
    EXPECT_EQ(ids.size(), 5u);
    EXPECT_EQ(CurrentThreadId(), 0u) << "the test's own thread was not made here";
}

TEST(SuspendedThreadTest, ThreadNeverResumedEndsWithoutRunningItsBody) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    {
        SuspendedThread thread;
        ASSERT_TRUE(thread.Create([ran]() -> uint32_t {
            *ran = true;
            return 0;
        }));
    }  // must neither hang nor run the body
    EXPECT_FALSE(ran->load());
}

TEST(SuspendedThreadTest, AbandonedThreadRunsOnAfterItsOwnerIsGone) {
    // Shared with the thread, which outlives the SuspendedThread object.
    auto release = std::make_shared<Event>(true, false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    {
        SuspendedThread thread;
        ASSERT_TRUE(thread.Create([release, finished]() -> uint32_t {
            release->Wait(kInfinite);
            *finished = true;
            return 0;
        }));
        thread.Resume();
        EXPECT_FALSE(thread.WaitForEnd(20));
        thread.Abandon();
        EXPECT_FALSE(thread.created());
    }
    release->Set();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return finished->load(); }));
}

}  // namespace
