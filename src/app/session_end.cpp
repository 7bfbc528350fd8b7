#include "app/session_end.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QSocketNotifier>

#include "ui/main_frame.h"

namespace {

int g_pipe[2] = {-1, -1};

void OnTerminationSignal(int signo) {
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    [[maybe_unused]] ssize_t n = write(g_pipe[1], &byte, 1);
    errno = saved;
}

// Hands SIGTERM, SIGHUP and SIGINT to `handler` (SIG_DFL: each ends the process at once).
void SetTerminationHandler(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // Ctrl+C in the terminal that started the monitor ends it the same way.
    sigaction(SIGINT, &sa, nullptr);
}

}  // namespace

void CSessionWatcher::EndAtOnceOnSignals() {
    SetTerminationHandler(SIG_DFL);
}

CSessionWatcher::CSessionWatcher() {
    if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { OnSignal(); });
}

CSessionWatcher::~CSessionWatcher() {
    EndAtOnceOnSignals();
}

void CSessionWatcher::SetFrame(CMainFrame* frame) {
    m_frame = frame;
    // The switch of each signal is one sigaction: a signal delivered before it ends the
    // process, one after it waits in the pipe, which the enabled notifier reads once the
    // message loop runs. None is lost.
    if (m_notifier != nullptr)
        m_notifier->setEnabled(frame != nullptr);
    if (m_notifier != nullptr && frame != nullptr)
        SetTerminationHandler(OnTerminationSignal);
    else
        EndAtOnceOnSignals();
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
            if (m_frame != nullptr)
                m_frame->OnQueryEndSession();
        });
    }
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
        if (m_frame != nullptr && g_bClosing == 0)
            m_frame->OnEndSession(true);
    });
    QDBusConnection bus = QDBusConnection::systemBus();
    if (frame != nullptr && bus.isConnected())
        bus.connect("org.freedesktop.login1", "/org/freedesktop/login1",
                    "org.freedesktop.login1.Manager", "PrepareForSleep", this,
                    SLOT(OnPrepareForSleep(bool)));
}

void CSessionWatcher::OnPrepareForSleep(bool sleeping) {
    // The classic power events: suspend is 4, an automatic resume 0x12.
    if (m_frame != nullptr)
        m_frame->OnPowerBroadcast(sleeping ? 4 : 0x12, 0);
}

void CSessionWatcher::OnSignal() {
    char bytes[16];
    while (read(g_pipe[0], bytes, sizeof(bytes)) > 0)
        ++m_seen;
    if (m_frame != nullptr)
        m_frame->OnEndSession(true);
}
