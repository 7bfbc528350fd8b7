#include "platform/message_target.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

struct Received {
    uint32_t msg;
    WPARAM wParam;
    LPARAM lParam;
};

// Records what its handler sees; the handler answers wParam + lParam.
class Recorder {
public:
    QueueMessageTarget::Handler Handler() {
        return [this](uint32_t msg, WPARAM w, LPARAM l) -> LRESULT {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen.push_back({msg, w, l});
            return static_cast<LRESULT>(w) + l;
        };
    }
    std::vector<Received> seen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

private:
    std::mutex m_mutex;
    std::vector<Received> m_seen;
};

TEST(QueueMessageTargetTest, PostedMessagesArriveInOrderThroughPump) {
    Recorder recorder;
    QueueMessageTarget target(recorder.Handler());
    EXPECT_EQ(target.Pump(0), 0u);
    EXPECT_TRUE(target.Post(WM_USER + 8, 64600, 7));
    EXPECT_TRUE(target.Post(WM_USER + 9, 1, -1));
    EXPECT_TRUE(recorder.seen().empty()) << "nothing is handled before the owner pumps";
    EXPECT_EQ(target.Pump(0), 2u);
    auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].msg, WM_USER + 8);
    EXPECT_EQ(seen[0].wParam, 64600u);
    EXPECT_EQ(seen[0].lParam, 7);
    EXPECT_EQ(seen[1].msg, WM_USER + 9);
    EXPECT_EQ(seen[1].lParam, -1);
}

TEST(QueueMessageTargetTest, SendFromAnotherThreadWaitsForTheAnswer) {
    Recorder recorder;
    QueueMessageTarget target(recorder.Handler());
    std::optional<LRESULT> answer;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        target.Post(WM_USER + 1, 0, 0);
        answer = target.Send(WM_USER + 2, 40, 2);
        done = true;
    });
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        target.Pump(10);
        return done.load();
    }));
    sender.join();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, 42);
    auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].msg, WM_USER + 1) << "a send does not overtake an earlier post";
    EXPECT_EQ(seen[1].msg, WM_USER + 2);
}

TEST(QueueMessageTargetTest, SendOnTheOwnerThreadIsHandledAtOnce) {
    Recorder recorder;
    QueueMessageTarget target(recorder.Handler());
    std::optional<LRESULT> answer = target.Send(WM_USER, 5, 6);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, 11);
    EXPECT_EQ(recorder.seen().size(), 1u);
}

TEST(QueueMessageTargetTest, CloseDropsWhatIsQueuedAndRefusesEverythingAfter) {
    Recorder recorder;
    QueueMessageTarget target(recorder.Handler());
    EXPECT_TRUE(target.Post(WM_USER + 3, 0, 0));
    EXPECT_FALSE(target.closing());
    target.Close();
    EXPECT_TRUE(target.closing());
    EXPECT_FALSE(target.Post(WM_USER, 0, 0));
    EXPECT_FALSE(target.Send(WM_USER, 0, 0).has_value()) << "even from the owner thread";
    EXPECT_EQ(target.Pump(0), 0u);
    EXPECT_TRUE(recorder.seen().empty());
}

TEST(QueueMessageTargetTest, CloseWhileASenderWaitsGivesItARefusal) {
    Recorder recorder;
    QueueMessageTarget target(recorder.Handler());
    std::atomic<int> state{0};
    std::thread sender([&] { state = target.Send(WM_USER, 1, 1).has_value() ? 1 : 2; });
    // Nobody pumps: the sender can only wait.
    target.Close();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return state.load() != 0; }));
    sender.join();
    EXPECT_EQ(state.load(), 2);
    EXPECT_TRUE(recorder.seen().empty());
}

TEST(QueueMessageTargetTest, DestroyingTheTargetReleasesItsSendersFirst) {
    auto* target = new QueueMessageTarget([](uint32_t, WPARAM, LPARAM) -> LRESULT { return 1; });
    std::atomic<int> refused{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i)
        senders.emplace_back([&refused, target] {
            if (!target->Send(WM_USER, 0, 0).has_value())
                ++refused;
        });
    // Nobody pumps: the senders can only wait. Destroying the target must let every one
    // of them go before its memory is freed (the sanitizers watch for the rest).
    ASSERT_TRUE(testsupport::WaitUntil([&] { return target->waitingSenders() == 3; }));
    delete target;
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(refused.load(), 3);
}

TEST(QueueMessageTargetTest, StoppingSenderGivesUpWhileItWaits) {
    Event entered(true, false);
    Event release(true, false);
    QueueMessageTarget target([&](uint32_t, WPARAM, LPARAM) -> LRESULT {
        entered.Set();
        release.Wait(kInfinite);  // an owner that is slow to answer
        return 1;
    });
    std::atomic<bool> pumping{true};
    std::thread owner([&] {
        while (pumping)
            target.Pump(5);
    });
    std::atomic<uint8_t> stop{0};
    std::atomic<int> state{0};  // 0 waiting, 1 answered, 2 refused
    std::thread sender([&] {
        SetCurrentThreadStopFlag(&stop);
        EXPECT_FALSE(CurrentThreadStopping());
        state = target.Send(WM_USER + 5, 0, 0).has_value() ? 1 : 2;
        EXPECT_TRUE(CurrentThreadStopping());
        // Once stopping, a send is refused at once and nothing is queued.
        EXPECT_FALSE(target.Send(WM_USER + 6, 0, 0).has_value());
        SetCurrentThreadStopFlag(nullptr);
        EXPECT_FALSE(CurrentThreadStopping());
    });
    ASSERT_TRUE(entered.Wait(10000));
    stop = 1;
    EXPECT_TRUE(testsupport::WaitUntil([&] { return state.load() != 0; }));
    release.Set();
    sender.join();
    pumping = false;
    owner.join();
    EXPECT_EQ(state.load(), 2);
    EXPECT_FALSE(target.closing()) << "only the sender gave up; the target still works";
    EXPECT_EQ(target.Pump(0), 0u) << "the refused send was never queued";
}

TEST(QueueMessageTargetTest, PumpHandlesOnlyWhatWasQueuedWhenItStarted) {
    QueueMessageTarget* self = nullptr;
    int handled = 0;
    QueueMessageTarget target([&](uint32_t, WPARAM, LPARAM) -> LRESULT {
        ++handled;
        self->Post(WM_USER, 0, 0);  // a handler that keeps re-posting itself
        return 0;
    });
    self = &target;
    target.Post(WM_USER, 0, 0);
    target.Post(WM_USER, 0, 0);
    EXPECT_EQ(target.Pump(0), 2u);
    EXPECT_EQ(handled, 2);
    EXPECT_EQ(target.Pump(0), 2u);
}

TEST(QueueMessageTargetTest, BatchWakesAWaitingPumpAndFollowsEarlierPostsInOrder) {
    Recorder recorder;
    QueueMessageTarget target(recorder.Handler());
    std::atomic<size_t> handled{0};
    std::thread owner([&] {
        while (handled.load() < 4 && !target.closing())
            handled += target.Pump(kInfinite);
    });
    EXPECT_TRUE(target.Post(WM_USER + 8, 1, 0));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return handled.load() == 1; }));
    // The pump has emptied the queue and waits again: the batch must wake it.
    const PostedMessage batch[] = {{WM_USER + 8, 2, 0}, {WM_USER + 12, 3, 3}, {WM_USER + 8, 4, 0}};
    EXPECT_TRUE(target.PostBatch(batch, 3));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return handled.load() == 4; }));
    target.Close();
    owner.join();
    auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 4u);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i].wParam, i + 1);
    EXPECT_EQ(seen[2].msg, WM_USER + 12);
    EXPECT_FALSE(target.PostBatch(batch, 3)) << "a closing target refuses a batch whole";
}

TEST(QueueMessageTargetTest, ManySendersAllGetTheirOwnAnswers) {
    Recorder recorder;
    QueueMessageTarget target(recorder.Handler());
    constexpr int kSenders = 4;
    constexpr int kEach = 200;
    std::atomic<int> wrong{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i) {
                auto answer = target.Send(WM_USER, static_cast<WPARAM>(s * 1000), i);
                if (!answer || *answer != s * 1000 + i)
                    ++wrong;
            }
            ++finished;
        });
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        target.Pump(5);
        return finished.load() == kSenders;
    }));
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(recorder.seen().size(), static_cast<size_t>(kSenders * kEach));
}

}  // namespace
