#pragma once

// What the Setup dialog tests share: a sandbox with its own live settings record, boxes
// recorded instead of shown, a way to act on a modal dialog while it runs (also used by the
// other dialog tests), and a field-by-field comparison of two settings records.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "platform/message_box.h"

namespace setuptest {

// Records every box and answers OK.
class RecordingBoxes : public MessageBoxSink {
public:
    int Show(const std::string& caption, const std::string& text, unsigned flags) override {
        (void)flags;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.emplace_back(caption, text);
        return IDOK;
    }
    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> texts;
        for (const auto& box : m_boxes)
            texts.push_back(box.second);
        return texts;
    }
    std::vector<std::pair<std::string, std::string>> Boxes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_boxes;
};

// Runs Qt's events until `condition` holds or the time is up.
inline bool PumpUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    return testsupport::WaitUntil(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return condition();
        },
        timeout);
}

// Ends a modal widget: a dialog is done with Rejected (whatever its buttons would check),
// anything else is closed.
inline void EndModal(QWidget* widget) {
    if (auto* dialog = qobject_cast<QDialog*>(widget))
        dialog->done(QDialog::Rejected);
    else
        widget->close();
}

// Calls `act` with the first modal dialog of type T that becomes active, from a timer of
// the event loop that the modal dialog runs. `act` must end the dialog. No test waits on the
// dialog without bound: when it is still open `grace` after `act` returned, the test fails and
// the dialog is ended (any modal box above it first); when no dialog of type T becomes active
// within `giveUp`, the test fails and the active modal widget, if any, is ended, so its exec()
// returns.
template <typename T>
void WhenModal(std::function<void(T*)> act,
               std::chrono::milliseconds giveUp = std::chrono::seconds(10),
               std::chrono::milliseconds grace = std::chrono::seconds(3)) {
    using Clock = std::chrono::steady_clock;
    struct State {
        QPointer<T> dialog;
        bool acted = false;
        bool failed = false;
        Clock::time_point deadline;
        const ::testing::TestInfo* test = nullptr;
    };
    auto state = std::make_shared<State>();
    state->deadline = Clock::now() + giveUp;
    state->test = ::testing::UnitTest::GetInstance()->current_test_info();
    auto* timer = new QTimer;
    auto finish = [timer] {
        timer->stop();
        timer->deleteLater();
    };
    QObject::connect(timer, &QTimer::timeout, [timer, state, act, grace, finish] {
        auto ended = [state] { return state->dialog.isNull() || !state->dialog->isVisible(); };
        if (state->acted) {
            if (!ended() && Clock::now() > state->deadline) {
                if (!state->failed)
                    ADD_FAILURE() << "the modal dialog was still open " << grace.count()
                                  << " ms after the test's action: ended it";
                state->failed = true;
                QWidget* top = QApplication::activeModalWidget();
                EndModal(top != nullptr ? top : state->dialog.data());
            }
            if (ended())
                finish();
            return;
        }
        if (::testing::UnitTest::GetInstance()->current_test_info() != state->test) {
            // Never act on a later test's dialog with an earlier test's captures.
            ADD_FAILURE() << "the dialog that " << (state->test ? state->test->name() : "?")
                          << " waited for never opened";
            finish();
        } else if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            state->acted = true;
            state->dialog = dialog;
            timer->stop();
            act(dialog);
            state->deadline = Clock::now() + grace;
            if (ended())
                finish();
            else
                timer->start();
        } else if (Clock::now() > state->deadline) {
            ADD_FAILURE() << "no modal dialog of the expected type opened";
            if (QWidget* modal = QApplication::activeModalWidget())
                EndModal(modal);
            finish();
        }
    });
    timer->start(5);
}

// Chooses `path` in a file dialog as a user would: once the dialog is the active window (its
// name field then has the focus), types the path into the name field and presses Open, so
// QFileDialog's own checks run. QFileDialog::selectFile would leave a name field that has the
// focus alone, and Open would then find no file and keep the dialog open.
inline void ChooseInFileDialog(QFileDialog* dialog, const QString& path) {
    EXPECT_TRUE(QTest::qWaitForWindowActive(dialog)) << "the file dialog never became active";
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr) << "QFileDialog without its name field";
    name->setText(path);
    static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, as its Open button
}

// Every field of the two records, one expectation each, so a failure names the field.
inline void ExpectSameSettings(const CSetupInfo& a, const CSetupInfo& b) {
#define VELMORA_SAME(field) EXPECT_EQ(a.field, b.field) << #field
    VELMORA_SAME(popupbox);
    VELMORA_SAME(sendmail);
    VELMORA_SAME(runexe);
    VELMORA_SAME(beep);
    VELMORA_SAME(exefilename);
    VELMORA_SAME(beepbreak);
    VELMORA_SAME(beepseconds);
    VELMORA_SAME(needlostcount);
    VELMORA_SAME(continuelost);
    VELMORA_SAME(needlostrate);
    VELMORA_SAME(lostrate);
    VELMORA_SAME(logfilename);
    VELMORA_SAME(logall);
    VELMORA_SAME(logchange);
    VELMORA_SAME(lognotify);
    VELMORA_SAME(execpara);
    VELMORA_SAME(smtpserver);
    VELMORA_SAME(smtpport);
    VELMORA_SAME(emailfrom);
    VELMORA_SAME(auth);
    VELMORA_SAME(user);
    VELMORA_SAME(pass);
    VELMORA_SAME(emailcount);
    VELMORA_SAME(emailto);
    VELMORA_SAME(emailint);
    VELMORA_SAME(testsubject);
    VELMORA_SAME(downsubject);
    VELMORA_SAME(downbody);
    VELMORA_SAME(upsubject);
    VELMORA_SAME(upbody);
    VELMORA_SAME(bneedloopmail);
    VELMORA_SAME(loopemailint);
    VELMORA_SAME(start_set);
    VELMORA_SAME(mail_highpriority);
    VELMORA_SAME(reserve2);
    VELMORA_SAME(reserveint);
    VELMORA_SAME(emailName);
    VELMORA_SAME(reservetext);
    VELMORA_SAME(newemailcount);
    VELMORA_SAME(newemailto);
    VELMORA_SAME(emailgrouplist);
    VELMORA_SAME(signint);
    VELMORA_SAME(ColumnWidth);
#undef VELMORA_SAME
}

// A sandbox (configuration and runtime directories of its own) with a live settings
// record of the test's own, boxes recorded, and the log file closed afterwards.
class SetupDialogTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        m_previous = g_pSetupInfo;
        g_pSetupInfo = &m_setup;
        SetMessageBoxSink(&m_boxes);
        g_bSetupModified = 0;
    }
    void TearDown() override {
        SetMessageBoxSink(nullptr);
        g_pSetupInfo = m_previous;
        g_logFile.Close();
        g_bSetupModified = 0;
        SandboxTest::TearDown();
    }

    CSetupInfo m_setup;
    RecordingBoxes m_boxes;

private:
    CSetupInfo* m_previous = nullptr;
};

}  // namespace setuptest
