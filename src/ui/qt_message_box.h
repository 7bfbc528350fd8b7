#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <QObject>

#include "platform/box_presenter.h"
#include "platform/message_box.h"

class QWidget;

// Message boxes of the core code, shown as QMessageBox on the user-interface thread. A
// worker thread that shows a box asks the user-interface thread and waits for the answer;
// it gives up (IDCANCEL, or IDOK for a box with only OK) when it is told to stop or the
// application is closing; a box not yet shown is then never shown. The user-interface
// thread itself never waits on a worker. Construct on the user-interface thread.
class QtMessageBoxSink : public QObject, public MessageBoxSink {
    Q_OBJECT
public:
    QtMessageBoxSink();
    ~QtMessageBoxSink() override;

    // Any thread.
    int Show(const std::string& caption, const std::string& text, unsigned flags) override;

    // Releases every waiting worker and shows no further box from one. Any thread.
    void Close();
    // The window that owns the boxes (the main frame), or none. User-interface thread.
    void SetOwner(QWidget* owner) { m_owner = owner; }
    // Without a screen (the offscreen platform) nobody could answer a box: its caption and
    // text go to standard error and the box answers at once, as a refused box does. Set
    // from the platform at construction.
    void SetHeadless(bool headless) { m_headless = headless; }

protected:
    // Shows one box modally and returns its button. User-interface thread. Tests replace it.
    virtual int Present(const std::string& caption, const std::string& text, unsigned flags);

    QWidget* m_owner = nullptr;

private:
    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_headless;
};

// The answer given when a box cannot be shown or waited for.
int RefusedBoxAnswer(unsigned flags);
// True when the platform shows nothing (the offscreen platform).
bool PlatformIsHeadless();

// The popup thread's boxes: each shown on the user-interface thread with one OK button,
// not modal, while the popup thread waits until it is closed or the thread is told to
// stop (then the box is taken down). Construct on the user-interface thread.
class QtBoxPresenter : public QObject, public BoxPresenter {
    Q_OBJECT
public:
    QtBoxPresenter();
    // As QtMessageBoxSink::SetHeadless: boxes go to standard error and nobody waits.
    void SetHeadless(bool headless) { m_headless = headless; }

    // Box thread.
    void ShowBox(const std::shared_ptr<MessageTarget>& owner, const std::string& caption,
                 const std::string& text, const std::atomic<uint8_t>& stop) override;
    // Boxes shown so far (tests).
    int shownCount() const { return m_shown.load(); }

private:
    std::atomic<int> m_shown{0};
    std::atomic<bool> m_headless;
};
