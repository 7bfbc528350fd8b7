#include "app/app_main.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QMenuBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include "app/corvantis_app.h"
#include "app/session_end.h"
#include "platform/box_presenter.h"
#include "platform/message_box.h"
#include "ui/main_frame.h"
#include "ui/qt_message_box.h"
#include "ui/true_color_toolbar.h"

namespace {

// VELMORA_GRAB_PNG=<file> saves a picture of the main window VELMORA_GRAB_DELAY_MS (default
// 3000) after start-up; the documentation's screenshot is taken that way.
void ScheduleWindowGrab(CMainFrame* frame) {
    const char* path = std::getenv("VELMORA_GRAB_PNG");
    if (path == nullptr || path[0] == '\0')
        return;
    int delay = 3000;
    if (const char* text = std::getenv("VELMORA_GRAB_DELAY_MS"))
        delay = std::atoi(text);
    const QString file = QString::fromLocal8Bit(path);
    QTimer::singleShot(delay, frame, [frame, file] {
        // Beside the picture, where its parts are: "<part> <x> <y> <width> <height>" per line.
        QFile layout(file + ".layout");
        if (layout.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            QTextStream out(&layout);
            const std::pair<const char*, QWidget*> parts[] = {
                {"menu", frame->menuBar()},
                {"toolbar", frame->m_wndToolBar},
                {"hosts", frame->m_wndSplitter->widget(0)},
                {"events", frame->m_wndSplitter->widget(1)},
                {"status", frame->m_wndStatusBar},
            };
            for (const auto& [name, widget] : parts) {
                if (widget == nullptr || !widget->isVisible())
                    continue;
                const QRect r(widget->mapTo(frame, QPoint(0, 0)), widget->size());
                out << name << ' ' << r.x() << ' ' << r.y() << ' ' << r.width() << ' ' << r.height()
                    << '\n';
            }
        }
        layout.close();
        // Written aside and renamed, so a reader never sees half a picture.
        const QString part = file + ".part";
        const bool ok =
            frame->grab().save(part, "PNG") &&
            std::rename(part.toLocal8Bit().constData(), file.toLocal8Bit().constData()) == 0;
        std::fprintf(stderr, "velmora: window picture %s %s\n", ok ? "saved to" : "NOT saved to",
                     file.toLocal8Bit().constData());
    });
}

QtMessageHandler g_defaultQtHandler = nullptr;

CMainFrame* g_exitFrame = nullptr;

// Qt ends the process with exit() when the connection to the display breaks, as when the
// X session ends before anyone asked the program to: what the user set is kept from there.
void OnProcessExit() {
    if (g_exitFrame != nullptr && QCoreApplication::instance() != nullptr &&
        QThread::currentThread() == QCoreApplication::instance()->thread())
        g_exitFrame->OnDisplayLost();
}

// While QApplication is made: the display the xcb platform said it could not open, and why
// the Wayland platform (tried first in a Wayland session) was not used.
std::atomic<bool> g_openingDisplay{false};
bool g_displayFailed = false;
QByteArray g_failedDisplay;
QByteArray g_waylandProblem;

// Where the display cannot be opened Qt ends the program with abort() and a fatal message
// meant for a broken installation: one line that names the display instead, status 1.
[[noreturn]] void SayNoDisplay() {
    const QByteArray wayland = g_waylandProblem.isEmpty() ? "" : ", and " + g_waylandProblem;
    if (g_failedDisplay.isEmpty())
        std::fprintf(stderr, "velmora: cannot open a display: DISPLAY is not set%s\n",
                     wayland.constData());
    else
        std::fprintf(stderr, "velmora: cannot open display \"%s\"%s\n", g_failedDisplay.constData(),
                     wayland.constData());
    _exit(1);
}

// Qt's words for a Wayland platform it could not use, kept to be said in our own line: the
// plugin is a package of its own (qt6-wayland), not part of Qt's base.
bool NoteWaylandProblem(const QString& text) {
    if (text.startsWith(QLatin1String("Could not find the Qt platform plugin \"wayland\""))) {
        g_waylandProblem = "the Qt Wayland platform plugin is not installed (package qt6-wayland)";
        return true;
    }
    // The plugin's own words come first; the next ones name what failed.
    if (text.startsWith(QLatin1String("Failed to create wl_display")))
        return true;
    if (text.startsWith(QLatin1String("Could not load the Qt platform plugin \"wayland\""))) {
        const QByteArray name = qgetenv("WAYLAND_DISPLAY");
        g_waylandProblem =
            "cannot open Wayland display \"" + (name.isEmpty() ? "wayland-0" : name) + '"';
        return true;
    }
    return false;
}

// The offscreen platform complains about every window it cannot size by hints; a monitor
// run without a display has nothing to show, so that line would only alarm its user.
void FilterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    // The xcb platform's words for DISPLAY (or -display) naming a display it cannot open.
    // Qt's next words (no platform could be loaded, then the fatal one) are replaced by ours.
    const QLatin1String noDisplay("could not connect to display");
    if (g_openingDisplay.load() && NoteWaylandProblem(text))
        return;
    if (g_openingDisplay.load() && text.startsWith(noDisplay)) {
        g_failedDisplay = text.mid(noDisplay.size()).trimmed().toLocal8Bit();
        g_displayFailed = true;
        return;
    }
    if (g_openingDisplay.load() && g_displayFailed) {
        if (type == QtFatalMsg)
            SayNoDisplay();
        if (context.category != nullptr && std::strcmp(context.category, "qt.qpa.plugin") == 0)
            return;
    }
    if (g_defaultQtHandler != nullptr)
        g_defaultQtHandler(type, context, text);
}

}  // namespace

int RunApplication(int argc, char** argv) {
    // Until the frame exists a termination signal ends the process at once, the lock with
    // it: also a start that hangs on a display that never answers can be stopped.
    CSessionWatcher::EndAtOnceOnSignals();
    // A second instance ends before anything needs a display, so it ends silently also
    // where none can be opened.
    if (!TakeInstanceLock())
        return 0;
    g_defaultQtHandler = qInstallMessageHandler(FilterQtMessages);
    g_openingDisplay = true;
    QApplication app(argc, argv);
    g_openingDisplay = false;
    if (g_displayFailed)  // a later platform of QT_QPA_PLATFORM's list took over
        std::fprintf(stderr, "velmora: cannot open display \"%s\"; running on %s\n",
                     g_failedDisplay.constData(), qPrintable(QGuiApplication::platformName()));
    if (!g_waylandProblem.isEmpty())
        std::fprintf(stderr, "velmora: %s; running on %s\n", g_waylandProblem.constData(),
                     qPrintable(QGuiApplication::platformName()));
    // Closing the window hides it; only Exit or the end of the session ends the program.
    app.setQuitOnLastWindowClosed(false);

    QtMessageBoxSink sink;
    SetMessageBoxSink(&sink);
    QtBoxPresenter presenter;
    SetBoxPresenter(&presenter);
    CSessionWatcher watcher;

    if (!theApp.InitInstance()) {
        SetMessageBoxSink(nullptr);
        SetBoxPresenter(nullptr);
        return 0;
    }
    CMainFrame* frame = theApp.m_pMainWnd;
    sink.SetOwner(frame);
    watcher.SetFrame(frame);
    ScheduleWindowGrab(frame);
    g_exitFrame = frame;
    std::atexit(OnProcessExit);

    const int code = app.exec();

    // Worker threads given up at exit may still run: end here, without destroying the
    // objects they might touch. Every line of the log has already reached the kernel.
    sink.Close();
    std::fflush(nullptr);
    _exit(code);
}
