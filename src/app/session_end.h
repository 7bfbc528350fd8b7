#pragma once

#include <QObject>

class CMainFrame;
class QSocketNotifier;

// Turns the end of the session into the main frame's end-of-session handling: SIGTERM,
// SIGHUP and SIGINT once the frame is set (through a self-pipe, so the handler itself only
// writes one byte), the session manager's request to save (a save of a modified setup) and
// a quit the frame did not ask for; and the power manager's sleep and wake-up notices
// (logind on the system bus), which save a modified setup. Construct once, on the
// user-interface thread, before the frame exists.
class CSessionWatcher : public QObject {
    Q_OBJECT
public:
    CSessionWatcher();
    ~CSessionWatcher() override;

    // Until a frame is set, SIGTERM, SIGHUP and SIGINT end the process at once with their
    // default action (set here also where the parent ignored them): nothing is there to save
    // yet, and a start stuck on a display that never answers stays killable and frees the
    // instance lock with the process. The destructor sets it again.
    static void EndAtOnceOnSignals();

    // The frame that ends the session: from here on SIGTERM, SIGHUP and SIGINT run its exit
    // path (nullptr: they end the process at once again).
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
