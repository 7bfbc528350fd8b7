#pragma once

#include <QObject>

class CMainFrame;
class QSocketNotifier;

// Turns the end of the session into the main frame's end-of-session handling: SIGTERM,
// SIGHUP and SIGINT (through a self-pipe, so the handler itself only writes one byte), the session
// manager's request to save (a save of a modified setup) and a quit the frame did not ask
// for; and the power manager's sleep and wake-up notices (logind on the system bus), which
// save a modified setup. Construct once, on the user-interface thread, before the frame
// exists.
class CSessionWatcher : public QObject {
    Q_OBJECT
public:
    CSessionWatcher();
    ~CSessionWatcher() override;

    // Catches SIGTERM, SIGHUP and SIGINT into the pipe, before any watcher or application
    // exists, so a signal during start-up waits for the frame instead of killing the
    // process. The constructor does it too. False when no pipe could be made.
    static bool CatchSignals();

    // The frame that ends the session; signals that came before it wait in the pipe.
    void SetFrame(CMainFrame* frame);
    // Signals seen so far (tests).
    int signalsSeen() const { return m_seen; }

public Q_SLOTS:
    // The system is about to sleep (true) or has woken up (false): a power notice.
    void OnPrepareForSleep(bool sleeping);

private:
    void OnSignal();

    CMainFrame* m_frame = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    int m_seen = 0;
};
