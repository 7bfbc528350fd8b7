#include "platform/event.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

TEST(EventTest, AutoResetLetsOneWaitThroughPerSet) {
    Event event(false, true);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0)) << "an auto-reset event resets when a wait takes it";

    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (event.Wait(10000))
                ++through;
        });
    event.Set();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return through.load() == 1; }));
    // One Set at a time: sets that nobody has taken yet count once.
    event.Set();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return through.load() == 2; }));
    event.Set();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return through.load() == 3; }));
    for (auto& t : waiters)
        t.join();
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, SetBeforeWaitIsKeptUntilTaken) {
    Event event(false, false);
    event.Set();
    event.Set();  // two sets with nobody waiting count once
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, ManualResetReleasesEveryWaiterAndStaysSet) {
    Event event(true, false);
    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (event.Wait(kInfinite))
                ++through;
        });
    event.Set();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return through.load() == 4; }));
    for (auto& t : waiters)
        t.join();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

}  // namespace
