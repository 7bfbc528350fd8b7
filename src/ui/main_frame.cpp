#include "ui/main_frame.h"

#include <chrono>
#include <string>
#include <thread>

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QTimerEvent>

#include "alerts/job_queues.h"
#include "config/file_commands.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "engine/icmp_engine.h"
#include "engine/name_threads.h"
#include "engine/send_cycle.h"
#include "platform/lock_keys.h"
#include "platform/message_box.h"
#include "platform/registry_store.h"
#include "platform/shell.h"
#include "ui/command_table.h"
#include "ui/corvantis_view.h"
#include "ui/event_view.h"
#include "ui/file_dialogs.h"
#include "ui/ping_list_ctrl.h"
#include "ui/qt_message_target.h"
#include "ui/true_color_toolbar.h"
#include "ui/ui_setup_hooks.h"
#include "ui/window_messages.h"

int g_bClosing = 0;
int g_hostTableNumber = 0;
int g_minuteTimerId = 1;

namespace {

CMainFrame::Timing g_timing;
CMainFrame::EngineStarter g_engineStarter = nullptr;
CMainFrame::CommandObserver g_commandObserver = nullptr;
CMainFrame::LockKeyReader g_lockKeyReader = nullptr;

// String ids of the lock indicators' texts ("CAP", "NUM", "SCRL").
constexpr uint32_t kIndicatorCaps = 59137;
constexpr uint32_t kIndicatorNum = 59138;
constexpr uint32_t kIndicatorScroll = 59139;

// The maker's home page that the tray menu names.
constexpr const char* kHomePage = "https://velmora.example.org/";

// How often the toolbar's buttons are brought in step with the service state.
constexpr int kIdleUpdateMs = 200;
// How often a hidden window checks that a tray still shows its icon.
constexpr int kTrayWatchMs = 1000;

void Pause(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Waits for a thread to end and frees it; a thread given up is left to run and leaked.
template <typename T>
void WaitAndDelete(T*& thread) {
    if (thread == nullptr)
        return;
    thread->WaitForExit(g_timing.threadWaitMs);
    if (!thread->abandoned())
        delete thread;
    thread = nullptr;
}

// Keeps a stored setup that could not be read where the next save cannot reach it, and
// says where. `setAside` is its new name when the store already moved it.
void KeepUnreadableSetup(std::string setAside) {
    if (setAside.empty())
        setAside = RegistryKey(kSetupStoreFile).MoveAside();
    if (setAside.empty()) {
        ShowMessageBox(kBoxCaption,
                       "The stored setup could not be read, nor be kept aside; the monitor starts "
                       "with an empty setup.",
                       MB_OK | MB_ICONWARNING);
        return;
    }
    ShowMessageBox(kBoxCaption,
                   "The stored setup could not be read. It was kept as\n" + setAside +
                       "\nand the monitor starts with an empty setup.",
                   MB_OK | MB_ICONWARNING);
}

}  // namespace

void CMainFrame::SetTiming(const Timing& timing) {
    g_timing = timing;
}

const CMainFrame::Timing& CMainFrame::timing() {
    return g_timing;
}

void CMainFrame::SetEngineStarter(EngineStarter starter) {
    g_engineStarter = starter;
}

void CMainFrame::SetCommandObserver(CommandObserver observer) {
    g_commandObserver = observer;
}

void CMainFrame::SetLockKeyReader(LockKeyReader reader) {
    g_lockKeyReader = reader;
}

CMainFrame::CMainFrame()
    : m_trayIcon(IDR_TRAY_MENU),
      m_target(new QtMessageTarget(
          [this](uint32_t msg, WPARAM w, LPARAM l) { return WindowProc(msg, w, l); }, this)),
      m_hooks(std::make_unique<CUiSetupHooks>()) {
    setObjectName("mainFrame");
    m_bExit = 0;
    delete g_pSetupInfo;
    g_pSetupInfo = new CSetupInfo();
    SetSetupHooks(m_hooks.get());
}

CMainFrame::~CMainFrame() {
    // The panes lose their focus while the base part is destroyed: nothing may reach this
    // half-destroyed frame then.
    if (qApp != nullptr)
        disconnect(qApp, nullptr, this, nullptr);
    m_target->Close();
    SetSetupHooks(nullptr);
    delete g_pSetupInfo;
    g_pSetupInfo = nullptr;
}

bool CMainFrame::PreCreateWindow() {
    return true;
}

bool CMainFrame::LoadFrame(uint32_t resourceId) {
    if (resourceId != IDR_MAINFRAME || !PreCreateWindow())
        return false;
    const char* title = StringResource(IDR_MAINFRAME);
    QString text = QString::fromUtf8(title != nullptr ? title : "");
    setWindowTitle(text.section('\n', 0, 0));
    setWindowIcon(CTrayIcon::LoadIconResource(IDR_MAINFRAME));

    BuildMainMenu(
        menuBar(), [this](uint32_t id) { OnCommand(id); }, [this](QMenu*) { UpdateCommandUI(); });
    for (QMenu* menu : menuBar()->findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            if (ActionCommand(action) != 0)
                m_menuActions.push_back(action);
        }
    }
    m_toolbarToggle = MenuAction(ID_VIEW_TOOLBAR);
    m_statusBarToggle = MenuAction(ID_VIEW_STATUS_BAR);
    for (QAction* toggle : {m_toolbarToggle, m_statusBarToggle})
        if (toggle != nullptr)
            toggle->setCheckable(true);

    for (const AcceleratorInfo& key : Accelerators()) {
        auto* shortcut = new QShortcut(QKeySequence(QString::fromLatin1(key.key)), this);
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(false);
        const uint32_t id = key.id;
        connect(shortcut, &QShortcut::activated, this, [this, id] { OnCommand(id); });
    }
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { OnFocusChanged(now); });
    return OnCreate() == 0;
}

bool CMainFrame::OnCreateClient() {
    // The client area is the frame's default size until it is shown maximized; the panes
    // keep their proportions when it grows.
    const QRect client = rect();
    m_wndSplitter = new QSplitter(Qt::Vertical, this);
    m_wndSplitter->setObjectName("splitter");
    m_wndSplitter->setChildrenCollapsible(false);

    g_hostTableNumber = CreateHostList(kMaxHosts);
    if (g_hostTableNumber < 0) {
        ShowMessageBox(kBoxCaption, "No idle item, Please exit and try it later!", MB_OK);
        return false;
    }

    const std::string storePath = RegistryKey(kSetupStoreFile).Path();
    const bool stored = !storePath.empty() && access(storePath.c_str(), F_OK) == 0;
    std::string setAside;
    const int length = LoadRegistryBlob(g_setupBuffer, kMaxSetupLength, &setAside);
    if (length > 0)
        g_setupLength = length;
    // A stored setup that cannot be read must not be replaced unseen by the next save.
    bool unreadable = stored && length < 0;

    const int h = client.height() / 5;
    m_pEventView = new CEventView();
    if (m_pEventView->OnCreate() != 0)
        return false;
    auto* view = new CCorvantisView();
    if (view->OnCreate() != 0)
        return false;
    m_wndSplitter->addWidget(view);
    m_wndSplitter->addWidget(m_pEventView);
    m_wndSplitter->setStretchFactor(0, 4);
    m_wndSplitter->setStretchFactor(1, 1);
    m_wndSplitter->setSizes({client.height() - h, h});
    setCentralWidget(m_wndSplitter);
    g_pEventView = m_pEventView;

    if (g_setupLength != 0 && LoadSetupFromBuffer() != 0) {
        unreadable = true;
        g_setupLength = 0;
    }
    if (unreadable)
        KeepUnreadableSetup(setAside);
    view->OnInitialUpdate();

    if (g_pHostList != nullptr && g_pHostList->count.load() >= 1)
        m_target->Send(WM_AUTO_START, 0, 0);
    return true;
}

int CMainFrame::OnCreate() {
    if (!OnCreateClient())
        return -1;
    KeepRunAtLogon();

    m_wndToolBar = new CTrueColorToolBar(this);
    // The caption of the toolbar when it floats in a window of its own.
    m_wndToolBar->setWindowTitle("Toolbar");
    // View > Toolbar and View > Status Bar show and hide the bars; the window offers no
    // menu of its own on them.
    setContextMenuPolicy(Qt::NoContextMenu);
    if (!m_wndToolBar->LoadToolBar(IDR_MAINFRAME, [this](uint32_t id) { OnCommand(id); }))
        return -1;
    m_wndToolBar->LoadImageLists(32, IDB_TOOLBAR_NORMAL, IDB_TOOLBAR_NORMAL, IDB_TOOLBAR_DISABLED);
    BuildStatusBar();
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);

    m_trayIcon.SetNotificationWnd(m_target, WM_TRAY_NOTIFY);
    m_trayIcon.SetIcon(IDR_MAINFRAME, IDS_TRAY_TIP);
    // While the window is hidden the icon is its only way back: when the tray goes, the
    // window is shown minimized, as on a desktop without one.
    m_trayWatch = new QTimer(this);
    connect(m_trayWatch, &QTimer::timeout, this, [this] {
        if (isVisible() || g_bClosing != 0) {
            m_trayWatch->stop();
        } else if (!CTrayIcon::TrayAvailable()) {
            m_trayWatch->stop();
            showMinimized();
        }
    });

    StartThreads();

    const int id = startTimer(g_timing.minuteTimerMs);
    g_minuteTimerId = id;

    UpdateCommandUI();
    UpdateIndicators();
    auto* idle = new QTimer(this);
    connect(idle, &QTimer::timeout, this, [this] {
        UpdateCommandUI();
        UpdateIndicators();
    });
    idle->start(kIdleUpdateMs);
    return 0;
}

void CMainFrame::BuildStatusBar() {
    m_wndStatusBar = new QStatusBar(this);
    m_wndStatusBar->setObjectName("statusBar");
    const char* ready = StringResource(IDS_IDLE_MESSAGE);
    m_wndStatusBar->addWidget(new QLabel(QString::fromUtf8(ready != nullptr ? ready : "")), 1);
    // The lock indicators: a pane each, showing its text only while its lock is on.
    for (QLabel*& label : m_indicators) {
        label = new QLabel();
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance("SCRL") + 12);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        m_wndStatusBar->addPermanentWidget(label);
    }
    setStatusBar(m_wndStatusBar);
}

void CMainFrame::UpdateIndicators() {
    const LockKeyState locks = g_lockKeyReader != nullptr ? g_lockKeyReader() : ReadLockKeys();
    const bool on[] = {locks.caps, locks.num, locks.scroll};
    const uint32_t ids[] = {kIndicatorCaps, kIndicatorNum, kIndicatorScroll};
    for (size_t i = 0; i < m_indicators.size(); ++i) {
        if (m_indicators[i] == nullptr)
            continue;
        const QString text = on[i] ? QString::fromUtf8(StringResource(ids[i])) : QString();
        if (m_indicators[i]->text() != text)
            m_indicators[i]->setText(text);
    }
}

void CMainFrame::OnFocusChanged(QWidget* now) {
    for (QWidget* w = now; w != nullptr; w = w->parentWidget()) {
        if (w == g_pView) {
            m_pActiveView = g_pView;
            return;
        }
        if (w == m_pEventView) {
            m_pActiveView = m_pEventView;
            return;
        }
    }
}

QAction* CMainFrame::MenuAction(uint32_t id) const {
    for (QAction* action : m_menuActions) {
        if (ActionCommand(action) == id)
            return action;
    }
    return nullptr;
}

LRESULT CMainFrame::WindowProc(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CLOSE:
            OnClose();
            return 0;
        case WM_COMMAND:
            OnCommand(static_cast<uint32_t>(wParam & 0xFFFF));
            return 0;
        case WM_TIMER:
            OnTimer(static_cast<uint32_t>(wParam));
            return 0;
        case WM_QUERYENDSESSION:
            return OnQueryEndSession() ? 1 : 0;
        case WM_ENDSESSION:
            OnEndSession(wParam != 0);
            return 0;
        case WM_POWERBROADCAST:
            return OnPowerBroadcast(wParam, lParam);
        case WM_AUTO_START:
            return OnAutoStart(wParam, lParam);
        case WM_TRAY_NOTIFY:
            return OnTrayNotify(wParam, lParam);
        case WM_TRAY_MENU:
            return OnTrayMenuPrepare(wParam, lParam);
        default:
            return 0;
    }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // The window itself never closes: hiding it or ending the program is OnClose's choice.
    event->ignore();
    OnClose();
}

void CMainFrame::timerEvent(QTimerEvent* event) {
    // Only the minute timer is ours; Qt may run timers of its own on the window.
    if (event->timerId() != g_minuteTimerId || g_minuteTimerId == 0) {
        QMainWindow::timerEvent(event);
        return;
    }
    OnTimer(static_cast<uint32_t>(event->timerId()));
}

void CMainFrame::HideWindow() {
    // Without a tray icon a hidden window could never come back. The tray of this moment
    // counts: one may have started, or gone, since the icon was added.
    if (m_trayIcon.visible() && m_trayWatch != nullptr) {
        hide();
        m_trayWatch->start(kTrayWatchMs);
    } else {
        showMinimized();
    }
}

void CMainFrame::OnClose() {
    if (m_bExit == 0) {
        HideWindow();
        return;
    }
    // Exit from the menus: the user is there to read why the setup could not be saved.
    RunExitPath(SaveNotice::kBoxAtExit);
}

void CMainFrame::RunExitPath(SaveNotice notice) {
    if (g_bClosing == 1)
        return;
    g_bClosing = 1;
    // Workers waiting in a sent message give up from now on.
    if (g_pView != nullptr)
        g_pView->messageTarget()->Close();

    SaveSetupIfModified(notice);

    if (g_pBeepThread != nullptr)
        g_pBeepThread->Stop();
    if (g_pBoxThread != nullptr)
        g_pBoxThread->Stop();
    if (g_pExecThread != nullptr)
        g_pExecThread->Stop();
    if (g_pMailThread != nullptr)
        g_pMailThread->Stop();
    g_lookupThreads[0].Stop();
    g_lookupThreads[1].Stop();
    StopIcmpEngine();
    if (g_pSendPingThread != nullptr)
        g_pSendPingThread->Stop();
    if (g_pDNSThread != nullptr)
        g_pDNSThread->Stop();

    KeepRunAtLogon();

    StopThreads();
    Pause(g_timing.exitPauseMs);

    hide();
    OnDestroy();
}

void CMainFrame::KeepRunAtLogon() {
    if (g_pSetupInfo != nullptr && (g_pSetupInfo->start_set & kStartSetRunAtLogon) != 0)
        SetRunAtLogon(2);
    else
        ClearRunAtLogon();
}

void CMainFrame::OnDisplayLost() {
    // Also when the exit path was still in its box: that path never comes back now.
    if (m_exited)
        return;
    g_bClosing = 1;
    // No message loop is left and the process is ending: only what is kept in files is
    // done here, not the threads' orderly stop or anything that would draw.
    SaveSetupIfModified(SaveNotice::kStderrAtExit);
    KeepRunAtLogon();
    if (g_pView != nullptr)
        g_pView->m_pList->OnDestroy();
}

void CMainFrame::OnDestroy() {
    if (g_minuteTimerId != 0)
        killTimer(g_minuteTimerId);
    // The process ends without destroying the frame (threads given up may still run), so
    // what the windows' own destruction would do is done here: the host list keeps its
    // column layout, and the icon leaves the notification area.
    if (g_pView != nullptr)
        g_pView->m_pList->OnDestroy();
    Pause(g_timing.destroyPauseMs);
    m_trayIcon.SetIcon(0, 0);
    m_exited = true;
    QCoreApplication::quit();
}

void CMainFrame::StartThreads() {
    g_pDNSThread = new cDNSthread();
    g_pDNSThread->SetPeriod(kDnsPeriod);
    g_pDNSThread->Resume();

    g_lookupThreads[0].slot = 0;
    g_lookupThreads[0].Resume();
    g_lookupThreads[1].slot = 1;
    g_lookupThreads[1].Resume();

    g_pMailThread = new cmailthread();
    g_pMailThread->Resume();
    g_pExecThread = new cexecthread();
    g_pExecThread->Resume();
    g_pBoxThread = new cboxthread();
    g_pBoxThread->Resume();
    g_pBeepThread = new cbeepthread();
    g_pBeepThread->Resume();

    g_pSendPingThread = new csendpingthread();
    g_pSendPingThread->SetPeriod(kMinSendPeriod);
    if (g_engineStarter != nullptr)
        g_engineStarter();
    else
        StartIcmpEngine();
    g_pSendPingThread->Resume();
}

void CMainFrame::StopThreads() {
    WaitAndDelete(g_pSendPingThread);
    WaitAndDelete(g_pDNSThread);
    WaitAndDelete(g_pMailThread);
    WaitAndDelete(g_pExecThread);
    WaitAndDelete(g_pBoxThread);
    WaitAndDelete(g_pBeepThread);
}

void CMainFrame::OnTimer(uint32_t timerId) {
    if (g_pView != nullptr)
        g_pView->OnTimerTick(timerId);
}

bool CMainFrame::OnQueryEndSession() {
    SaveSetupIfModified(SaveNotice::kStderr);
    return true;
}

void CMainFrame::OnEndSession(bool) {
    m_bExit = 1;
    // No person asked for this exit in the window: it never waits on a box. Where File >
    // Exit's path waits in its own, the box is ended and that path goes on to its end.
    if (g_bClosing == 1)
        QCoreApplication::quit();
    else
        RunExitPath(SaveNotice::kStderrAtExit);
}

LRESULT CMainFrame::OnPowerBroadcast(WPARAM, LPARAM) {
    SaveSetupIfModified();
    return 0;
}

LRESULT CMainFrame::OnAutoStart(WPARAM, LPARAM) {
    if (g_pSetupInfo != nullptr && (g_pSetupInfo->start_set & kStartSetAutoStart) != 0 &&
        g_pHostList != nullptr)
        g_pHostList->stopped.store(0);
    return 0;
}

LRESULT CMainFrame::OnTrayNotify(WPARAM wParam, LPARAM lParam) {
    return m_trayIcon.OnTrayNotification(wParam, lParam);
}

LRESULT CMainFrame::OnTrayMenuPrepare(WPARAM wParam, LPARAM lParam) {
    if (lParam != WM_RBUTTONUP)
        return 0;
    auto* menu = reinterpret_cast<QMenu*>(wParam);
    if (menu == nullptr)
        return 0;
    const bool stopped = g_pHostList != nullptr && g_pHostList->stopped.load() != 0;
    const QList<QAction*> items = menu->actions();
    for (QAction* action : items) {
        if (ActionCommand(action) == ID_START_SERVICE)
            action->setEnabled(stopped);
        else if (ActionCommand(action) == ID_STOP_SERVICE)
            action->setEnabled(!stopped);
    }
    const int position = stopped ? 4 : 5;
    if (position < items.size())
        menu->setDefaultAction(items.at(position));
    return 0;
}

bool CMainFrame::IsCommandEnabled(uint32_t id) const {
    const CommandInfo* info = FindCommand(id);
    if (info == nullptr)
        return true;
    const bool stopped = g_pHostList != nullptr && g_pHostList->stopped.load() != 0;
    switch (info->rule) {
        case UpdateRule::kWhenStopped:
            return stopped;
        case UpdateRule::kWhenRunning:
            return g_pHostList != nullptr && !stopped;
        default:
            return true;
    }
}

void CMainFrame::OnUpdateWhenStopped(QAction* action) const {
    action->setEnabled(g_pHostList != nullptr && g_pHostList->stopped.load() != 0);
}

void CMainFrame::OnUpdateStopService(QAction* action) const {
    action->setEnabled(g_pHostList != nullptr && g_pHostList->stopped.load() == 0);
}

void CMainFrame::UpdateCommandUI() {
    auto update = [this](QAction* action) {
        const CommandInfo* info = action != nullptr ? FindCommand(ActionCommand(action)) : nullptr;
        if (info == nullptr)
            return;
        if (info->rule == UpdateRule::kWhenStopped)
            OnUpdateWhenStopped(action);
        else if (info->rule == UpdateRule::kWhenRunning)
            OnUpdateStopService(action);
    };
    for (QAction* action : m_menuActions)
        update(action);
    if (m_wndToolBar != nullptr) {
        for (uint32_t id : ToolbarButtons())
            update(m_wndToolBar->ButtonAction(id));
    }
    if (m_toolbarToggle != nullptr && m_wndToolBar != nullptr)
        m_toolbarToggle->setChecked(!m_wndToolBar->isHidden());
    if (m_statusBarToggle != nullptr && m_wndStatusBar != nullptr)
        m_statusBarToggle->setChecked(!m_wndStatusBar->isHidden());
}

bool CMainFrame::OnCommand(uint32_t id) {
    // A disabled command is never carried out, whichever way it came.
    if (!IsCommandEnabled(id))
        return false;
    CCmdTarget* handler = nullptr;
    if (m_pActiveView != nullptr && m_pActiveView->OnCmdMsg(id))
        handler = m_pActiveView;
    else if (OnCmdMsg(id))
        handler = this;
    else if (m_pApp != nullptr && m_pApp->OnCmdMsg(id))
        handler = m_pApp;
    if (handler != nullptr && g_commandObserver != nullptr)
        g_commandObserver(id, handler);
    UpdateCommandUI();
    return handler != nullptr;
}

bool CMainFrame::OnCmdMsg(uint32_t id) {
    switch (id) {
        case ID_HIDE_WINDOW:
            OnHideWindow();
            return true;
        case ID_APP_EXIT:
            OnExit();
            return true;
        case ID_OPEN_WINDOW:
            OnOpenWindow();
            return true;
        case ID_HOME_PAGE:
            OnHomePage();
            return true;
        case ID_ADD_IP:
            OnAddIP();
            return true;
        case ID_ADD_IP_RANGE:
            OnAddIPRange();
            return true;
        case ID_DELETE:
            OnDelete();
            return true;
        case ID_MOVE_DOWN:
            OnMoveDown();
            return true;
        case ID_MOVE_UP:
            OnMoveUp();
            return true;
        case ID_CLEAR_STATISTICS:
            OnClearStatistics();
            return true;
        case ID_PROPERTY:
            OnProperty();
            return true;
        case ID_SETTING:
            OnSetting();
            return true;
        case ID_VIEW_LOG_FILE:
            OnViewLogFile();
            return true;
        case ID_STOP_SERVICE:
            OnStopService();
            return true;
        case ID_STOP_SOUND:
            OnStopSound();
            return true;
        case ID_START_SERVICE:
            OnStartService();
            return true;
        case ID_CLEAR_EVENT_LIST:
            OnClearEventList();
            return true;
        case ID_NEW_TEMPLATE:
            OnNewTemplate();
            return true;
        case ID_IMPORT_FROM_FILE:
            OnImportFromFile();
            return true;
        case ID_IMPORT_APPEND:
            OnImportAppend();
            return true;
        case ID_EXPORT_TO_FILE:
            OnExportToFile();
            return true;
        case ID_IMPORT_FROM_TEXT:
            OnImportFromText();
            return true;
        case ID_EXPORT_TO_TEXT:
            OnExportToText();
            return true;
        case ID_VIEW_TOOLBAR:
            if (m_wndToolBar != nullptr)
                m_wndToolBar->setVisible(m_wndToolBar->isHidden());
            return true;
        case ID_VIEW_STATUS_BAR:
            if (m_wndStatusBar != nullptr)
                m_wndStatusBar->setVisible(m_wndStatusBar->isHidden());
            return true;
        default:
            return false;
    }
}

void CMainFrame::OnHideWindow() {
    HideWindow();
}

void CMainFrame::OnExit() {
    m_bExit = 1;
    m_target->Post(WM_CLOSE, 0, 0);
}

void CMainFrame::OnOpenWindow() {
    show();
    raise();
    activateWindow();
}

void CMainFrame::OnHomePage() {
    ShellOpenDocument(kHomePage);
}

void CMainFrame::OnAddIP() {
    if (g_pView != nullptr)
        g_pView->m_pList->OnAddIP();
}

void CMainFrame::OnAddIPRange() {
    if (g_pView != nullptr)
        g_pView->m_pList->OnAddIPRange();
}

void CMainFrame::OnDelete() {
    if (g_pView != nullptr)
        g_pView->m_pList->OnDelete();
}

void CMainFrame::OnMoveDown() {
    if (g_pView != nullptr)
        g_pView->m_pList->MoveSelectedDown();
}

void CMainFrame::OnMoveUp() {
    if (g_pView != nullptr)
        g_pView->m_pList->MoveSelectedUp();
}

void CMainFrame::OnClearStatistics() {
    if (g_pView != nullptr)
        g_pView->m_pList->OnClearStatistics();
}

void CMainFrame::OnProperty() {
    if (g_pView != nullptr)
        g_pView->OnProperty();
}

void CMainFrame::OnSetting() {
    if (g_pView != nullptr)
        g_pView->OnSetup();
}

void CMainFrame::OnViewLogFile() {
    if (g_pView != nullptr)
        g_pView->OnOpenLog();
}

void CMainFrame::OnStopService() {
    if (g_pView != nullptr)
        g_pView->OnStopService();
}

void CMainFrame::OnStopSound() {
    if (g_pView != nullptr)
        g_pView->OnStopSound();
}

void CMainFrame::OnStartService() {
    if (g_pHostList != nullptr)
        g_pHostList->stopped.store(0);
}

void CMainFrame::OnClearEventList() {
    if (g_pEventView != nullptr)
        g_pEventView->OnClearEventList();
}

void CMainFrame::OnNewTemplate() {
    NewTemplateCommand();
}

void CMainFrame::OnImportFromFile() {
    ImportFromFileWithDialog(this);
}

void CMainFrame::OnImportAppend() {
    ImportAppendWithDialog(this);
}

void CMainFrame::OnExportToFile() {
    ExportToFileWithDialog(this);
}

void CMainFrame::OnImportFromText() {
    ImportFromTextWithDialog(this);
}

void CMainFrame::OnExportToText() {
    ExportToTextWithDialog(this);
}
