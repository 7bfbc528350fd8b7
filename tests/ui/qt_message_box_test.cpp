#include "ui/qt_message_box.h"

#include <atomic>
#include <thread>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/message_target.h"

namespace {

bool PumpUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return testsupport::WaitUntil(
        [&] {
            QCoreApplication::processEvents();
            return condition();
        },
        timeout);
}

// Answers every box at once, recording where it was asked.
class AnsweringSink : public QtMessageBoxSink {
public:
    std::atomic<int> shown{0};
    std::atomic<bool> onGuiThread{true};
    std::string caption, text;
    unsigned flags = 0;

protected:
    int Present(const std::string& c, const std::string& t, unsigned f) override {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            onGuiThread = false;
        caption = c;
        text = t;
        flags = f;
        ++shown;
        return IDYES;
    }
};

TEST(QtMessageBoxSink, BoxesOfWorkersAreShownOnTheGuiThread) {
    AnsweringSink sink;
    sink.SetHeadless(false);
    int answer = 0;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        answer = sink.Show("Caption", "Text", MB_YESNO | MB_ICONQUESTION);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(answer, IDYES);
    EXPECT_TRUE(sink.onGuiThread.load());
    EXPECT_EQ(sink.caption, "Caption");
    EXPECT_EQ(sink.text, "Text");
    EXPECT_EQ(sink.flags, MB_YESNO | MB_ICONQUESTION);
}

TEST(QtMessageBoxSink, TheGuiThreadShowsItsOwnBoxDirectly) {
    AnsweringSink sink;
    sink.SetHeadless(false);
    EXPECT_EQ(sink.Show("c", "t", MB_OK), IDYES);
    EXPECT_EQ(sink.shown.load(), 1);
}

TEST(QtMessageBoxSink, AStoppingWorkerDoesNotWaitForTheGui) {
    AnsweringSink sink;
    sink.SetHeadless(false);
    std::atomic<uint8_t> stop{0};
    int answer = 0;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        SetCurrentThreadStopFlag(&stop);
        answer = sink.Show("c", "t", MB_OKCANCEL);
        SetCurrentThreadStopFlag(nullptr);
        done = true;
    });
    stop = 1;  // the GUI thread is not pumping: only the give-up ends the wait
    EXPECT_TRUE(testsupport::WaitUntil([&] { return done.load(); }, std::chrono::seconds(5)));
    worker.join();
    EXPECT_EQ(answer, IDCANCEL);
    QCoreApplication::processEvents();
    EXPECT_EQ(sink.shown.load(), 0);  // a box nobody waits for is never shown
}

TEST(QtMessageBoxSink, WithoutAScreenNoBoxWaitsForAnAnswer) {
    EXPECT_TRUE(PlatformIsHeadless());  // the tests run offscreen
    AnsweringSink sink;                 // headless from the platform
    EXPECT_EQ(sink.Show("c", "t", MB_YESNO), IDNO);
    EXPECT_EQ(sink.Show("c", "t", MB_OK), IDOK);
    EXPECT_EQ(sink.shown.load(), 0);
    QtBoxPresenter presenter;
    std::atomic<uint8_t> stop{0};
    presenter.ShowBox(nullptr, "Alert", "host down", stop);  // returns at once
    EXPECT_EQ(presenter.shownCount(), 0);
}

TEST(QtMessageBoxSink, RefusedAnswersFitTheButtons) {
    EXPECT_EQ(RefusedBoxAnswer(MB_OK), IDOK);
    EXPECT_EQ(RefusedBoxAnswer(MB_OKCANCEL | MB_ICONWARNING), IDCANCEL);
    EXPECT_EQ(RefusedBoxAnswer(MB_YESNO), IDNO);
}

QMessageBox* VisibleBox() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible())
            return box;
    }
    return nullptr;
}

TEST(QtBoxPresenter, ThePopupThreadWaitsUntilTheBoxIsClosed) {
    QtBoxPresenter presenter;
    presenter.SetHeadless(false);
    std::atomic<uint8_t> stop{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        presenter.ShowBox(nullptr, "Alert", "host down", stop);
        done = true;
    });
    ASSERT_TRUE(PumpUntil([] { return VisibleBox() != nullptr; }));
    QMessageBox* box = VisibleBox();
    EXPECT_EQ(box->windowTitle(), "Alert");
    EXPECT_EQ(box->text(), "host down");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);  // the main window stays usable
    EXPECT_FALSE(done.load());
    box->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
}

TEST(QtBoxPresenter, StopTakesTheBoxDown) {
    QtBoxPresenter presenter;
    presenter.SetHeadless(false);
    std::atomic<uint8_t> stop{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        presenter.ShowBox(nullptr, "Alert", "still there", stop);
        done = true;
    });
    ASSERT_TRUE(PumpUntil([] { return VisibleBox() != nullptr; }));
    stop = 1;
    EXPECT_TRUE(
        PumpUntil([&] { return done.load() && VisibleBox() == nullptr; }, std::chrono::seconds(5)));
    worker.join();
}

}  // namespace
