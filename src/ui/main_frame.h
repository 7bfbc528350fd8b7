#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <QMainWindow>

#include "platform/messages.h"
#include "ui/menus.h"
#include "ui/tray_icon.h"

struct LockKeyState;
class CEventView;
class CTrueColorToolBar;
class CUiSetupHooks;
class QAction;
class QLabel;
class QSplitter;
class QStatusBar;
class QTimer;
class QtMessageTarget;
enum class SaveNotice;

// Set once the exit path has begun; it runs at most once. User-interface thread.
extern int g_bClosing;
// The host table's number (0), or the negative result of creating it.
extern int g_hostTableNumber;
// The one-minute timer's id: 1 before it is set, 0 when it could not be set.
extern int g_minuteTimerId;

// The one top-level window: the splitter with the host list above and the event list
// below, the toolbar, the status bar and the tray icon. Its creation loads the stored
// setup, starts the service when the setup asks for it and starts every worker thread; its
// exit path saves, stops every thread in order and ends the program. Closing it only hides
// it (or minimizes it when the desktop has no tray). User-interface thread.
class CMainFrame : public QMainWindow, public CCmdTarget {
    Q_OBJECT
public:
    CMainFrame();
    ~CMainFrame() override;

    // Builds the menu, keys, icon and title of resource 128 and runs OnCreate. False when
    // the window could not be created.
    bool LoadFrame(uint32_t resourceId);
    bool PreCreateWindow();
    bool OnCreateClient();
    int OnCreate();

    // The frame's window handle (WM_CLOSE, WM_COMMAND, WM_AUTO_START, tray messages).
    QtMessageTarget* messageTarget() const { return m_target; }
    LRESULT WindowProc(uint32_t msg, WPARAM wParam, LPARAM lParam);

    // Message handlers.
    void OnClose();
    void OnDestroy();
    void OnTimer(uint32_t timerId);
    bool OnQueryEndSession();
    void OnEndSession(bool ending);
    // The display connection broke and the process is ending without its message loop:
    // keeps the setup, the run-at-logon entry and the column layout. User-interface thread.
    void OnDisplayLost();
    LRESULT OnPowerBroadcast(WPARAM wParam, LPARAM lParam);
    LRESULT OnAutoStart(WPARAM wParam, LPARAM lParam);
    LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
    LRESULT OnTrayMenuPrepare(WPARAM wParam, LPARAM lParam);

    // A command from the menu, a key, a toolbar button or the tray: carried out only when
    // its update rule enables it, by the active view, else the frame, else the
    // application. True when a handler ran.
    bool OnCommand(uint32_t id);
    // The frame's own command handlers.
    bool OnCmdMsg(uint32_t id) override;
    // The update rules.
    bool IsCommandEnabled(uint32_t id) const;
    void OnUpdateWhenStopped(QAction* action) const;
    void OnUpdateStopService(QAction* action) const;
    // Brings every menu item and button in step with the rules.
    void UpdateCommandUI();

    void OnHideWindow();
    void OnExit();
    void OnOpenWindow();
    void OnHomePage();
    void OnAddIP();
    void OnAddIPRange();
    void OnDelete();
    void OnMoveDown();
    void OnMoveUp();
    void OnClearStatistics();
    void OnProperty();
    void OnSetting();
    void OnViewLogFile();
    void OnStopService();
    void OnStopSound();
    void OnStartService();
    void OnClearEventList();
    void OnNewTemplate();
    void OnImportFromFile();
    void OnImportAppend();
    void OnExportToFile();
    void OnImportFromText();
    void OnExportToText();

    void StartThreads();
    void StopThreads();
    // Writes or removes the run-at-logon entry as the settings ask: at start, when the
    // General page is saved and at exit, so that no end the program does not see loses it.
    static void KeepRunAtLogon();

    // The application object, which gets the commands nobody else took.
    void SetAppTarget(CCmdTarget* app) { m_pApp = app; }
    // The pane the commands go to first: the host list view or the event list view.
    CCmdTarget* ActiveView() const { return m_pActiveView; }
    void SetActiveView(CCmdTarget* view) { m_pActiveView = view; }

    // Whether the exit path has run to its end (the message loop has been told to quit).
    bool exited() const { return m_exited; }
    // The main menu's action of a command, and the key shortcuts (tests).
    QAction* MenuAction(uint32_t id) const;
    const std::vector<QAction*>& menuActions() const { return m_menuActions; }

    QSplitter* m_wndSplitter = nullptr;
    QStatusBar* m_wndStatusBar = nullptr;
    CTrueColorToolBar* m_wndToolBar = nullptr;
    CTrayIcon m_trayIcon;
    int m_bExit = 0;

    // Timing of the minute timer and the exit path's pauses (tests shorten them).
    struct Timing {
        int minuteTimerMs = 60000;
        int exitPauseMs = 300;
        int destroyPauseMs = 1100;
        uint32_t threadWaitMs = 3000;
    };
    static void SetTiming(const Timing& timing);
    static const Timing& timing();
    // Starts the ICMP engine just before the send thread runs; tests may replace it.
    using EngineStarter = int (*)();
    static void SetEngineStarter(EngineStarter starter);
    // Told which target carried out each command (tests).
    using CommandObserver = void (*)(uint32_t id, const CCmdTarget* target);
    static void SetCommandObserver(CommandObserver observer);
    // Reads the lock keys for the status bar's indicators; tests replace it. nullptr
    // restores the real one.
    using LockKeyReader = LockKeyState (*)();
    static void SetLockKeyReader(LockKeyReader reader);
    // Shows each lock indicator's text while its lock is on, as the idle update does.
    void UpdateIndicators();
    // The Caps Lock, Num Lock and Scroll Lock panes of the status bar.
    const std::array<QLabel*, 3>& indicators() const { return m_indicators; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    // Hides the window, or minimizes it where a hidden window could not come back (no
    // notification area now, or no icon in it); a hidden one is shown minimized when the
    // notification area goes.
    void HideWindow();
    // Saves, stops every thread in order, keeps the run-at-logon entry and the column layout
    // and ends the program; at most once. `notice` says how a failed save is said.
    void RunExitPath(SaveNotice notice);
    void BuildStatusBar();
    void OnFocusChanged(QWidget* now);

    QtMessageTarget* m_target;
    std::unique_ptr<CUiSetupHooks> m_hooks;
    CCmdTarget* m_pApp = nullptr;
    CCmdTarget* m_pActiveView = nullptr;
    CEventView* m_pEventView = nullptr;
    std::array<QLabel*, 3> m_indicators{};
    std::vector<QAction*> m_menuActions;
    QAction* m_toolbarToggle = nullptr;
    QAction* m_statusBarToggle = nullptr;
    QTimer* m_trayWatch = nullptr;  // runs while the window is hidden in the tray
    bool m_exited = false;
};
