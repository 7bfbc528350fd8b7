#include "ui/qt_message_box.h"

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include "platform/message_target.h"

namespace {

struct BoxRequest {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    bool abandoned = false;
    int result = 0;
};

constexpr auto kWaitSlice = std::chrono::milliseconds(10);

}  // namespace

int RefusedBoxAnswer(unsigned flags) {
    switch (flags & 0xF) {
        case MB_YESNO:
            return IDNO;
        case MB_OKCANCEL:
            return IDCANCEL;
        default:
            return IDOK;
    }
}

bool PlatformIsHeadless() {
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

QtMessageBoxSink::QtMessageBoxSink() : m_headless(PlatformIsHeadless()) {}

QtMessageBoxSink::~QtMessageBoxSink() {
    Close();
}

void QtMessageBoxSink::Close() {
    m_closing.store(true);
}

int QtMessageBoxSink::Show(const std::string& caption, const std::string& text, unsigned flags) {
    if (m_headless.load()) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return RefusedBoxAnswer(flags);
    }
    if (QThread::currentThread() == thread())
        return Present(caption, text, flags);
    if (m_closing.load())
        return RefusedBoxAnswer(flags);

    auto request = std::make_shared<BoxRequest>();
    QMetaObject::invokeMethod(
        this,
        [this, request, caption, text, flags] {
            {
                std::lock_guard<std::mutex> lock(request->mutex);
                if (request->abandoned)
                    return;
            }
            const int result = Present(caption, text, flags);
            std::lock_guard<std::mutex> lock(request->mutex);
            request->result = result;
            request->done = true;
            request->cond.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock<std::mutex> lock(request->mutex);
    while (!request->done) {
        if (m_closing.load() || CurrentThreadStopping()) {
            request->abandoned = true;
            return RefusedBoxAnswer(flags);
        }
        request->cond.wait_for(lock, kWaitSlice);
    }
    return request->result;
}

int QtMessageBoxSink::Present(const std::string& caption, const std::string& text, unsigned flags) {
    QMessageBox box(m_owner);
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(QString::fromStdString(text));
    switch (flags & 0xF0) {
        case MB_ICONERROR:
            box.setIcon(QMessageBox::Critical);
            break;
        case MB_ICONQUESTION:
            box.setIcon(QMessageBox::Question);
            break;
        case MB_ICONWARNING:
            box.setIcon(QMessageBox::Warning);
            break;
        case MB_ICONINFORMATION:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            break;
    }
    switch (flags & 0xF) {
        case MB_OKCANCEL:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case MB_YESNO:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Ok:
            return IDOK;
        case QMessageBox::Cancel:
            return IDCANCEL;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            return RefusedBoxAnswer(flags);
    }
}

namespace {

struct PopupState {
    std::mutex mutex;
    std::condition_variable cond;
    bool closed = false;
    bool abandoned = false;  // the box thread stopped waiting: show nothing any more
    QPointer<QMessageBox> box;
};

}  // namespace

QtBoxPresenter::QtBoxPresenter() : m_headless(PlatformIsHeadless()) {}

void QtBoxPresenter::ShowBox(const std::shared_ptr<MessageTarget>&, const std::string& caption,
                             const std::string& text, const std::atomic<uint8_t>& stop) {
    if (m_headless.load()) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    auto state = std::make_shared<PopupState>();
    QMetaObject::invokeMethod(
        this,
        [this, state, caption, text] {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (state->abandoned)
                    return;
            }
            auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(caption),
                                        QString::fromStdString(text), QMessageBox::Ok);
            box->setAttribute(Qt::WA_DeleteOnClose);
            // A message box is modal to the whole application by default: during an alert
            // storm the main window, its menus and Stop Sound would be out of reach.
            box->setWindowModality(Qt::NonModal);
            // A window manager may put a window that appears while another has the focus below
            // that one (openbox does: under the maximized main window while a dialog is open),
            // and nothing raises it later. Kept above the normal windows, the alert is seen.
            box->setWindowFlag(Qt::WindowStaysOnTopHint);
            QObject::connect(box, &QMessageBox::finished, box, [state] {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->closed = true;
                state->cond.notify_all();
            });
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->box = box;
            }
            ++m_shown;
            box->show();
        },
        Qt::QueuedConnection);

    std::unique_lock<std::mutex> lock(state->mutex);
    while (!state->closed) {
        if (stop.load() != 0) {
            state->abandoned = true;
            lock.unlock();
            // Takes the box down on the user-interface thread, if it is up by then.
            QMetaObject::invokeMethod(
                this,
                [state] {
                    QPointer<QMessageBox> box;
                    {
                        std::lock_guard<std::mutex> guard(state->mutex);
                        box = state->box;
                    }
                    if (box)
                        box->close();
                },
                Qt::QueuedConnection);
            return;
        }
        state->cond.wait_for(lock, std::chrono::milliseconds(kBoxStopPollMs));
    }
}
