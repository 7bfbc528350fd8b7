#pragma once

// What the Setup dialog tests share: a sandbox with its own live settings record, boxes
// recorded instead of shown, a way to act on a modal dialog while it runs, and a
// field-by-field comparison of two settings records.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
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

// Calls `act` with the first modal dialog of type T that becomes active, from a timer of
// the event loop that the modal dialog runs. `act` must end the dialog. Gives up after ten
// seconds (a test that then waits on the dialog fails by its own time-out).
template <typename T>
void WhenModal(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    auto ticks = std::make_shared<int>(0);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, ticks, act] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(dialog);
            return;
        }
        if (++*ticks > 2000) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal dialog of the expected type opened";
        }
    });
    timer->start();
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
