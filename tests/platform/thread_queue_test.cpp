#include "platform/thread_queue.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/event.h"

namespace {

using Result = ThreadQueue::WaitResult;

TEST(ThreadQueueTest, EveryTriggerEndsExactlyOneWait) {
    ThreadQueue queue;
    queue.PostTrigger();
    queue.PostTrigger();
    queue.PostTrigger();
    EXPECT_EQ(queue.pendingTriggers(), 3u);
    EXPECT_EQ(queue.Wait(0), Result::kTrigger);
    EXPECT_EQ(queue.Wait(0), Result::kTrigger);
    EXPECT_EQ(queue.Wait(kInfinite), Result::kTrigger);
    EXPECT_EQ(queue.pendingTriggers(), 0u);
    EXPECT_EQ(queue.Wait(20), Result::kTimeout);
}

TEST(ThreadQueueTest, QuitWinsOverTriggersAndEndsEveryLaterWait) {
    ThreadQueue queue;
    queue.PostTrigger();
    queue.PostQuit();
    EXPECT_EQ(queue.Wait(kInfinite), Result::kQuit);
    EXPECT_EQ(queue.Wait(kInfinite), Result::kQuit);
    queue.PostTrigger();
    EXPECT_EQ(queue.Wait(0), Result::kQuit);
}

TEST(ThreadQueueTest, TriggerOrQuitFromAnotherThreadEndsAWaitInProgress) {
    ThreadQueue queue;
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = static_cast<int>(queue.Wait(kInfinite)); });
    queue.PostTrigger();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return result.load() != -1; }));
    waiter.join();
    EXPECT_EQ(result.load(), static_cast<int>(Result::kTrigger));

    result = -1;
    std::thread quitter([&] { result = static_cast<int>(queue.Wait(60000)); });
    queue.PostQuit();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return result.load() != -1; }));
    quitter.join();
    EXPECT_EQ(result.load(), static_cast<int>(Result::kQuit));
}

}  // namespace
