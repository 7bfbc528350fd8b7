#include "ui/qt_message_target.h"

#include <atomic>
#include <optional>
#include <thread>

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

// Runs the user-interface thread's queue until `condition` holds.
bool PumpUntil(const std::function<bool()>& condition) {
    return testsupport::WaitUntil([&] {
        QCoreApplication::processEvents();
        return condition();
    });
}

struct Recorder {
    std::atomic<int> calls{0};
    std::atomic<bool> onGuiThread{true};
    uint32_t lastMsg = 0;
    WPARAM lastW = 0;
    LPARAM lastL = 0;

    QtMessageTarget::Handler Handler() {
        return [this](uint32_t msg, WPARAM w, LPARAM l) -> LRESULT {
            if (QThread::currentThread() != QCoreApplication::instance()->thread())
                onGuiThread = false;
            lastMsg = msg;
            lastW = w;
            lastL = l;
            ++calls;
            return static_cast<LRESULT>(w + l);
        };
    }
};

TEST(QtMessageTarget, PostedMessagesRunOnTheGuiThreadInOrder) {
    std::vector<WPARAM> seen;
    QtMessageTarget target([&](uint32_t, WPARAM w, LPARAM) -> LRESULT {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
        seen.push_back(w);
        return 0;
    });
    std::thread worker([&] {
        for (WPARAM i = 0; i < 100; ++i)
            EXPECT_TRUE(target.Post(WM_USER + 8, i, 0));
    });
    worker.join();
    EXPECT_TRUE(PumpUntil([&] { return seen.size() == 100; }));
    for (WPARAM i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], i);
}

// Posted messages are delivered in batches; a sent message must still come after every
// message posted before it, and a handler that runs a nested loop must not disturb the batch
// it was called from.
TEST(QtMessageTarget, PostedAndSentMessagesKeepTheirOrderAcrossBatches) {
    std::vector<WPARAM> seen;
    QtMessageTarget target([&](uint32_t msg, WPARAM w, LPARAM) -> LRESULT {
        seen.push_back(w);
        if (msg == WM_USER + 1 && w % 250 == 0)
            QCoreApplication::processEvents();  // as a modal box would
        return static_cast<LRESULT>(w);
    });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (WPARAM i = 1; i <= 2000; ++i) {
            if (i % 100 == 0) {
                EXPECT_EQ(target.Send(WM_USER + 2, i, 0), static_cast<LRESULT>(i));
            } else {
                EXPECT_TRUE(target.Post(WM_USER + 1, i, 0));
            }
        }
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load() && seen.size() == 2000; }));
    worker.join();
    ASSERT_EQ(seen.size(), 2000u);
    // A nested loop delivers the messages after its own; each is still seen once, in order.
    for (WPARAM i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], i + 1);
}

TEST(QtMessageTarget, SendFromAWorkerWaitsForTheAnswer) {
    Recorder rec;
    QtMessageTarget target(rec.Handler());
    std::optional<LRESULT> answer;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        answer = target.Send(WM_USER + 9, 40, 2);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, 42);
    EXPECT_TRUE(rec.onGuiThread.load());
}

TEST(QtMessageTarget, SendFromTheGuiThreadRunsInline) {
    Recorder rec;
    QtMessageTarget target(rec.Handler());
    EXPECT_EQ(target.Send(WM_USER + 15, 5, 6), std::optional<LRESULT>(11));
    EXPECT_EQ(rec.calls.load(), 1);
}

TEST(QtMessageTarget, ASenderGivesUpWhenTheTargetCloses) {
    Recorder rec;
    QtMessageTarget target(rec.Handler());
    std::optional<LRESULT> answer = 1;
    std::atomic<bool> done{false};
    // The user-interface thread does not pump: without the give-up the worker would hang.
    std::thread worker([&] {
        answer = target.Send(WM_USER + 9, 1, 1);
        done = true;
    });
    std::this_thread::yield();
    target.Close();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return done.load(); }, std::chrono::seconds(5)));
    worker.join();
    EXPECT_FALSE(answer.has_value());
    // The message it gave up on is never handled afterwards.
    QCoreApplication::processEvents();
    EXPECT_EQ(rec.calls.load(), 0);
    EXPECT_FALSE(target.Post(WM_USER + 8, 0, 0));
}

TEST(QtMessageTarget, AStoppingSenderGivesUpAndItsMessageIsDropped) {
    Recorder rec;
    QtMessageTarget target(rec.Handler());
    std::atomic<uint8_t> stop{0};
    std::optional<LRESULT> answer = 1;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        SetCurrentThreadStopFlag(&stop);
        answer = target.Send(WM_USER + 11, 0, 0);
        SetCurrentThreadStopFlag(nullptr);
        done = true;
    });
    stop = 1;
    EXPECT_TRUE(testsupport::WaitUntil([&] { return done.load(); }, std::chrono::seconds(5)));
    worker.join();
    EXPECT_FALSE(answer.has_value());
    QCoreApplication::processEvents();
    EXPECT_EQ(rec.calls.load(), 0);
    EXPECT_FALSE(target.closing());
}

TEST(QtMessageTarget, PostedMessagesAreDroppedOnceClosed) {
    Recorder rec;
    QtMessageTarget target(rec.Handler());
    EXPECT_TRUE(target.Post(WM_USER + 8, 1, 2));
    target.Close();
    QCoreApplication::processEvents();
    EXPECT_EQ(rec.calls.load(), 0);
    EXPECT_EQ(target.Send(WM_USER + 9, 0, 0), std::nullopt);
}

}  // namespace
