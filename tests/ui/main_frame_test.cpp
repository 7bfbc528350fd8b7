#include "ui/main_frame.h"

#include <chrono>
#include <mutex>
#include <condition_variable>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QSplitter>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include "alerts/job_queues.h"
#include "common/test_support.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/engine_messages.h"
#include "engine/host_list.h"
#include "engine/name_threads.h"
#include "engine/send_cycle.h"
#include "platform/box_presenter.h"
#include "platform/ini_file.h"
#include "platform/lock_keys.h"
#include "platform/message_box.h"
#include "platform/registry_store.h"
#include "platform/shell.h"
#include "ui/command_table.h"
#include "ui/corvantis_view.h"
#include "ui/event_view.h"
#include "ui/ext_list_ctrl.h"
#include "ui/menus.h"
#include "ui/ping_list_ctrl.h"
#include "ui/qt_message_target.h"
#include "ui/true_color_toolbar.h"
#include "ui/window_messages.h"

namespace {

using namespace std::chrono_literals;

// Which target carried out each command, in order.
std::vector<std::pair<uint32_t, const CCmdTarget*>> g_handled;
void Observe(uint32_t id, const CCmdTarget* target) {
    g_handled.emplace_back(id, target);
}

std::vector<std::vector<std::string>> g_spawned;
bool RecordSpawn(const std::vector<std::string>& argv) {
    g_spawned.push_back(argv);
    return true;
}

int NoEngine() {
    return 0;
}
bool TrayPresent() {
    return true;
}
bool NoTray() {
    return false;
}

// Stands in for the application object, which takes Help and About.
class FakeApp : public CCmdTarget {
public:
    bool OnCmdMsg(uint32_t id) override { return id == ID_HELP || id == ID_APP_ABOUT; }
};

bool PumpUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return testsupport::WaitUntil(
        [&] {
            QCoreApplication::processEvents();
            return condition();
        },
        timeout);
}

class MainFrameTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        CMainFrame::Timing timing;
        timing.exitPauseMs = 0;
        timing.destroyPauseMs = 0;
        CMainFrame::SetTiming(timing);
        CMainFrame::SetEngineStarter(NoEngine);
        CMainFrame::SetCommandObserver(Observe);
        CTrayIcon::SetAvailabilityProbe(TrayPresent);
        SetShellSpawnHook(RecordSpawn);
        g_handled.clear();
        g_spawned.clear();
        g_bClosing = 0;
        g_setupLength = 0;
        g_bSetupModified = 0;
    }

    void TearDown() override {
        if (m_frame != nullptr) {
            if (!m_frame->exited()) {
                m_frame->m_bExit = 1;
                m_frame->OnClose();
            }
            delete m_frame;
        }
        DestroyHostList();
        CMainFrame::SetCommandObserver(nullptr);
        CMainFrame::SetEngineStarter(nullptr);
        CMainFrame::SetTiming(CMainFrame::Timing());
        CTrayIcon::SetAvailabilityProbe(nullptr);
        SetShellSpawnHook(nullptr);
        g_bClosing = 0;
        SandboxTest::TearDown();
    }

    // Stores a setup with `hosts` loopback hosts and the given start-up bits; `edit` may
    // change the settings and each host before they are stored.
    void StoreSetup(int hosts, int32_t startSet,
                    const std::function<void(CSetupInfo&, CHostItem&)>& edit = nullptr) {
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo();
        g_pSetupInfo->start_set = startSet;
        for (int i = 0; i < hosts; ++i) {
            CHostItem* host = AddHost(0);
            ASSERT_NE(host, nullptr);
            host->name = "loop" + std::to_string(i);
            host->addr4.sin_family = AF_INET;
            host->addr4.sin_addr.s_addr = htonl(0x7F000001 + static_cast<uint32_t>(i));
            if (edit)
                edit(*g_pSetupInfo, *host);
            PublishHost(host);
        }
        const int length = SerializeSetup();
        ASSERT_GT(length, 0);
        ASSERT_EQ(SaveRegistryBlob(g_setupBuffer.data(), length), 1);
        m_storedLength = length;
        DestroyHostList();
        delete g_pSetupInfo;
        g_pSetupInfo = nullptr;
        g_setupLength = 0;
    }

    CMainFrame* Create() {
        m_frame = new CMainFrame();
        m_frame->SetAppTarget(&m_app);
        EXPECT_TRUE(m_frame->LoadFrame(IDR_MAINFRAME));
        return m_frame;
    }

    void ShowActive() {
        m_frame->show();
        m_frame->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_frame));
    }

    bool Stopped() const { return g_pHostList->stopped.load() != 0; }

    std::string AutostartFile() const {
        return m_dir.File("config") + "/autostart/velmora.desktop";
    }

    // Length of the document StoreSetup stored; g_setupBuffer still holds it.
    int SerializeSetupLength() const { return m_storedLength; }

    CMainFrame* m_frame = nullptr;
    FakeApp m_app;
    int m_storedLength = 0;
};

TEST_F(MainFrameTest, StoredHostsWithAutoStartMonitorBeforeTheWindowShows) {
    StoreSetup(2, kStartSetRunAtLogon | kStartSetAutoStart);
    Create();
    EXPECT_FALSE(m_frame->isVisible());
    EXPECT_EQ(g_pHostList->count.load(), 2);
    EXPECT_EQ(g_rowCount, 2);
    EXPECT_FALSE(Stopped());
    // The view accepts the send cycle while started.
    EXPECT_EQ(g_pView->messageTarget()->Send(WM_CYCLE_BEGIN, 1, 0), std::optional<LRESULT>(0));
    EXPECT_EQ(g_pView->messageTarget()->Send(WM_CYCLE_END, 1, 0), std::optional<LRESULT>(0));
    EXPECT_FALSE(m_frame->IsCommandEnabled(ID_START_SERVICE));
    EXPECT_TRUE(m_frame->IsCommandEnabled(ID_STOP_SERVICE));
    // Every worker thread runs.
    EXPECT_NE(g_pDNSThread, nullptr);
    EXPECT_NE(g_pMailThread, nullptr);
    EXPECT_NE(g_pExecThread, nullptr);
    EXPECT_NE(g_pBoxThread, nullptr);
    EXPECT_NE(g_pBeepThread, nullptr);
    EXPECT_NE(g_pSendPingThread, nullptr);
}

TEST_F(MainFrameTest, WithoutTheAutoStartBitTheServiceStaysStopped) {
    StoreSetup(2, kStartSetRunAtLogon);
    Create();
    EXPECT_EQ(g_pHostList->count.load(), 2);
    EXPECT_TRUE(Stopped());
    EXPECT_NE(g_pView->messageTarget()->Send(WM_CYCLE_BEGIN, 1, 0), std::optional<LRESULT>(0));
    EXPECT_EQ(g_pView->m_bInCycle, 0);
    EXPECT_TRUE(m_frame->IsCommandEnabled(ID_START_SERVICE));
    EXPECT_FALSE(m_frame->IsCommandEnabled(ID_STOP_SERVICE));
}

TEST_F(MainFrameTest, WithoutHostsTheServiceStaysStopped) {
    StoreSetup(0, kStartSetAutoStart);
    Create();
    EXPECT_EQ(g_pHostList->count.load(), 0);
    EXPECT_TRUE(Stopped());
    EXPECT_TRUE(m_frame->MenuAction(ID_START_SERVICE)->isEnabled());
    EXPECT_FALSE(m_frame->MenuAction(ID_STOP_SERVICE)->isEnabled());
}

class RecordingBoxes : public MessageBoxSink {
public:
    int Show(const std::string&, const std::string& text, unsigned) override {
        texts.push_back(text);
        return IDOK;
    }
    std::vector<std::string> texts;
};

TEST_F(MainFrameTest, WithoutAHostTableTheFrameIsNotCreated) {
    ASSERT_EQ(CreateHostList(10), 0);  // the one table is taken
    RecordingBoxes boxes;
    SetMessageBoxSink(&boxes);
    m_frame = new CMainFrame();
    EXPECT_FALSE(m_frame->LoadFrame(IDR_MAINFRAME));
    SetMessageBoxSink(nullptr);
    EXPECT_EQ(boxes.texts, std::vector<std::string>{"No idle item, Please exit and try it later!"});
    EXPECT_EQ(g_pSendPingThread, nullptr);  // no worker thread was started
    EXPECT_EQ(g_pMailThread, nullptr);
    EXPECT_FALSE(m_frame->isVisible());
    delete m_frame;
    m_frame = nullptr;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Files beside the store whose name starts with the store's and which are not the store.
std::vector<std::string> AsideFiles(const std::string& store) {
    std::vector<std::string> found;
    const std::filesystem::path path(store);
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name != path.filename().string() && name.rfind(path.filename().string(), 0) == 0)
            found.push_back(entry.path().string());
    }
    return found;
}

// A stored setup that cannot be read is kept aside with the user told where, so the empty
// setup the monitor then starts with cannot replace it on the next save.
TEST_F(MainFrameTest, AnUnreadableStoredSetupIsKeptAsideNotOverwritten) {
    enum class Damage { kDocumentCutShort, kStoreFileGarbage, kChunkMissing };
    for (Damage damage :
         {Damage::kDocumentCutShort, Damage::kStoreFileGarbage, Damage::kChunkMissing}) {
        SCOPED_TRACE(static_cast<int>(damage));
        StoreSetup(400, kStartSetAutoStart);
        const std::string store = RegistryKey(kSetupStoreFile).Path();
        const int length = SerializeSetupLength();
        switch (damage) {
            case Damage::kDocumentCutShort:  // the store is sound, the document in it is not
                ASSERT_EQ(SaveRegistryBlob(g_setupBuffer.data(), length / 2), 1);
                break;
            case Damage::kStoreFileGarbage: {
                std::ofstream(store, std::ios::binary | std::ios::trunc) << "not a store file";
                break;
            }
            case Damage::kChunkMissing: {
                RegistryValues values;
                ASSERT_EQ(RegistryKey(kSetupStoreFile).Load(values), RegistryLoadStatus::kOk);
                values.erase("item1");
                ASSERT_TRUE(RegistryKey(kSetupStoreFile).Commit(values));
                break;
            }
        }
        const std::string before = ReadBytes(store);
        ASSERT_FALSE(before.empty());

        RecordingBoxes boxes;
        SetMessageBoxSink(&boxes);
        Create();
        SetMessageBoxSink(nullptr);
        EXPECT_EQ(g_pHostList->count.load(), 0);
        EXPECT_TRUE(Stopped());
        const std::vector<std::string> aside = AsideFiles(store);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ReadBytes(aside[0]), before);
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_NE(boxes.texts[0].find("could not be read"), std::string::npos);
        EXPECT_NE(boxes.texts[0].find(aside[0]), std::string::npos);

        // The next save stores the new setup and leaves the kept one alone.
        g_bSetupModified = 1;
        SaveSetupIfModified();
        EXPECT_GT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
        EXPECT_EQ(ReadBytes(aside[0]), before);

        m_frame->OnEndSession(true);
        delete m_frame;
        m_frame = nullptr;
        DestroyHostList();
        g_bClosing = 0;
        std::filesystem::remove(aside[0]);
        std::filesystem::remove(store);
    }
}

// A stored setup that reads, and one that is not there at all, leave no file aside.
TEST_F(MainFrameTest, AReadableOrMissingSetupIsNotSetAside) {
    RecordingBoxes boxes;
    SetMessageBoxSink(&boxes);
    Create();  // nothing stored
    EXPECT_TRUE(boxes.texts.empty());
    m_frame->OnEndSession(true);
    delete m_frame;
    m_frame = nullptr;
    DestroyHostList();
    g_bClosing = 0;

    StoreSetup(3, kStartSetAutoStart);
    Create();
    SetMessageBoxSink(nullptr);
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_EQ(g_pHostList->count.load(), 3);
    EXPECT_TRUE(AsideFiles(RegistryKey(kSetupStoreFile).Path()).empty());
}

TEST_F(MainFrameTest, TheWindowHasMenuToolbarBothPanesAndStatusBar) {
    Create();
    EXPECT_EQ(m_frame->windowTitle(), "Velmora IPV6");
    QStringList menus;
    for (QAction* a : m_frame->menuBar()->actions())
        menus << a->text();
    EXPECT_EQ(menus, QStringList({"&File", "&View", "&Option", "&Service", "&Help"}));
    EXPECT_EQ(m_frame->MenuAction(ID_APP_EXIT)->text(), "E&xit\tCtrl+X");
    ASSERT_NE(m_frame->m_wndSplitter, nullptr);
    ASSERT_EQ(m_frame->m_wndSplitter->count(), 2);
    EXPECT_EQ(m_frame->m_wndSplitter->widget(0), g_pView);
    EXPECT_EQ(m_frame->m_wndSplitter->widget(1), g_pEventView);
    EXPECT_EQ(m_frame->m_wndToolBar->actions().size(), 14);
    EXPECT_EQ(m_frame->statusBar(), m_frame->m_wndStatusBar);
    m_frame->resize(1000, 700);
    ShowActive();
    const QList<int> sizes = m_frame->m_wndSplitter->sizes();
    // The event list takes about a fifth of the height.
    EXPECT_NEAR(static_cast<double>(sizes[1]) / (sizes[0] + sizes[1]), 0.2, 0.06);
    QStringList status;
    for (QLabel* label : m_frame->m_wndStatusBar->findChildren<QLabel*>())
        status << label->text();
    EXPECT_TRUE(status.contains("Ready"));
    for (QLabel* indicator : m_frame->indicators()) {
        ASSERT_NE(indicator, nullptr);
        EXPECT_TRUE(indicator->isVisible());
    }
    EXPECT_TRUE(m_frame->m_trayIcon.visible());
    EXPECT_EQ(m_frame->m_trayIcon.nid().szTip, "Velmora IPV6 V4.0.0");
    EXPECT_FALSE(m_frame->grab().isNull());
}

LockKeyState g_locks;
LockKeyState ReadFakeLocks() {
    return g_locks;
}

// Each lock indicator shows its text only while its lock is on, and follows it.
TEST_F(MainFrameTest, TheLockIndicatorsFollowTheLockKeys) {
    CMainFrame::SetLockKeyReader(ReadFakeLocks);
    g_locks = {};
    Create();
    auto texts = [&] {
        QStringList list;
        for (QLabel* indicator : m_frame->indicators())
            list << indicator->text();
        return list;
    };
    EXPECT_EQ(texts(), QStringList({"", "", ""}));
    g_locks.caps = true;
    g_locks.scroll = true;
    EXPECT_TRUE(PumpUntil([&] { return texts() == QStringList({"CAP", "", "SCRL"}); }));
    g_locks = {false, true, false};
    EXPECT_TRUE(PumpUntil([&] { return texts() == QStringList({"", "NUM", ""}); }));
    CMainFrame::SetLockKeyReader(nullptr);
}

// Where each command should end up when no view is active.
const CCmdTarget* ExpectedTarget(uint32_t id, CMainFrame* frame, CCmdTarget* app) {
    return id == ID_HELP || id == ID_APP_ABOUT ? app : frame;
}

TEST_F(MainFrameTest, EveryCommandReachesItsHandlerFromMenuKeyAndToolbar) {
    Create();
    ShowActive();
    // Commands that open a dialog (Setting, the file commands) get it cancelled at once.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    closer.start(20);
    // Commands that leave the window or the program are covered by their own tests.
    const std::set<uint32_t> skip = {ID_APP_EXIT, ID_HIDE_WINDOW, ID_STOP_SERVICE};
    for (QAction* action : m_frame->menuActions()) {
        const uint32_t id = ActionCommand(action);
        if (skip.count(id) || !action->isEnabled())
            continue;
        g_handled.clear();
        m_frame->SetActiveView(nullptr);
        action->trigger();
        if (id == ID_FIND) {
            EXPECT_TRUE(g_handled.empty());  // no handler anywhere
            continue;
        }
        ASSERT_EQ(g_handled.size(), 1u) << id;
        EXPECT_EQ(g_handled[0].first, id);
        EXPECT_EQ(g_handled[0].second, ExpectedTarget(id, m_frame, &m_app)) << id;
        if (id == ID_VIEW_TOOLBAR || id == ID_VIEW_STATUS_BAR)
            m_frame->OnCommand(id);  // shown again
        if (id == ID_START_SERVICE)
            g_pHostList->stopped.store(1);
    }
    // Keys, with the host list focused: Ctrl+C and Ctrl+V are commands, not copy and paste.
    g_pView->m_pList->setFocus();
    m_frame->SetActiveView(nullptr);
    for (const AcceleratorInfo& key : Accelerators()) {
        if (skip.count(key.id))
            continue;
        // A dialog a key opened took the activation with it: keys go to the active window.
        m_frame->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_frame));
        g_handled.clear();
        QTest::keySequence(m_frame, QKeySequence(QString::fromLatin1(key.key)));
        ASSERT_EQ(g_handled.size(), 1u) << key.key;
        EXPECT_EQ(g_handled[0].first, key.id) << key.key;
        m_frame->SetActiveView(nullptr);
        if (key.id == ID_START_SERVICE)
            g_pHostList->stopped.store(1);
    }
    // Toolbar buttons, clicked.
    for (uint32_t id : ToolbarButtons()) {
        if (skip.count(id))
            continue;
        QWidget* button =
            m_frame->m_wndToolBar->widgetForAction(m_frame->m_wndToolBar->ButtonAction(id));
        ASSERT_NE(button, nullptr);
        g_handled.clear();
        QTest::mouseClick(button, Qt::LeftButton);
        ASSERT_EQ(g_handled.size(), 1u) << id;
        EXPECT_EQ(g_handled[0].first, id);
        m_frame->SetActiveView(nullptr);
        if (id == ID_START_SERVICE)
            g_pHostList->stopped.store(1);
    }
    // Ctrl+F is no key, and Find does nothing but is never greyed.
    g_handled.clear();
    QTest::keySequence(m_frame, QKeySequence("Ctrl+F"));
    EXPECT_TRUE(g_handled.empty());
    EXPECT_TRUE(m_frame->MenuAction(ID_FIND)->isEnabled());
    EXPECT_FALSE(m_frame->OnCommand(ID_FIND));
}

TEST_F(MainFrameTest, UpdateRulesHoldInBothServiceStates) {
    Create();
    ShowActive();
    const std::vector<uint32_t> whenStopped = {ID_START_SERVICE,    ID_IMPORT_FROM_FILE,
                                               ID_IMPORT_APPEND,    ID_NEW_TEMPLATE,
                                               ID_IMPORT_FROM_TEXT, ID_DELETE};
    for (bool stopped : {true, false}) {
        g_pHostList->stopped.store(stopped ? 1 : 0);
        m_frame->UpdateCommandUI();
        for (uint32_t id : whenStopped) {
            EXPECT_EQ(m_frame->MenuAction(id)->isEnabled(), stopped) << id;
            EXPECT_EQ(m_frame->IsCommandEnabled(id), stopped) << id;
        }
        EXPECT_EQ(m_frame->MenuAction(ID_STOP_SERVICE)->isEnabled(), !stopped);
        for (uint32_t id : {ID_IMPORT_FROM_FILE, ID_DELETE, ID_START_SERVICE})
            EXPECT_EQ(m_frame->m_wndToolBar->ButtonAction(id)->isEnabled(), stopped) << id;
        EXPECT_EQ(m_frame->m_wndToolBar->ButtonAction(ID_STOP_SERVICE)->isEnabled(), !stopped);
        EXPECT_TRUE(m_frame->MenuAction(ID_EXPORT_TO_FILE)->isEnabled());
        EXPECT_TRUE(m_frame->MenuAction(ID_ADD_IP)->isEnabled());
    }
}

TEST_F(MainFrameTest, ADisabledCommandDoesNothingWhicheverWayItComes) {
    Create();
    ShowActive();
    g_pHostList->stopped.store(0);  // running
    m_frame->UpdateCommandUI();
    g_handled.clear();
    for (const char* key : {"Del", "Ctrl+T", "Ctrl+I", "Ctrl+M", "Ctrl+N"})
        QTest::keySequence(m_frame, QKeySequence(key));
    EXPECT_FALSE(m_frame->OnCommand(ID_START_SERVICE));
    m_frame->messageTarget()->Post(WM_COMMAND, ID_IMPORT_FROM_FILE, 0);  // as from the tray
    QCoreApplication::processEvents();
    EXPECT_TRUE(g_handled.empty());
    EXPECT_FALSE(Stopped());

    g_pHostList->stopped.store(1);  // stopped
    m_frame->UpdateCommandUI();
    QTest::keySequence(m_frame, QKeySequence("Ctrl+P"));
    m_frame->messageTarget()->Post(WM_COMMAND, ID_STOP_SERVICE, 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(g_handled.empty());

    // The enabled ones do run.
    QTest::keySequence(m_frame, QKeySequence("Ctrl+T"));
    EXPECT_FALSE(Stopped());
    QTest::keySequence(m_frame, QKeySequence("Ctrl+P"));
    EXPECT_TRUE(Stopped());
}

TEST_F(MainFrameTest, TheActiveViewTakesItsCommandsFirst) {
    Create();
    ShowActive();
    g_pEventView->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return m_frame->ActiveView() == g_pEventView; }));
    g_pEventView->OnCreate();
    g_handled.clear();
    QTest::keySequence(m_frame, QKeySequence("Ctrl+V"));
    ASSERT_EQ(g_handled.size(), 1u);
    EXPECT_EQ(g_handled[0].second, static_cast<CCmdTarget*>(g_pEventView));
    // List and view commands still work through the frame when the event list is active.
    m_frame->OnCommand(ID_START_SERVICE);
    EXPECT_FALSE(Stopped());
    EXPECT_EQ(g_handled.back().second, static_cast<CCmdTarget*>(m_frame));

    g_pView->m_pList->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return m_frame->ActiveView() == g_pView; }));
    g_handled.clear();
    QTest::keySequence(m_frame, QKeySequence("Ctrl+P"));
    ASSERT_EQ(g_handled.size(), 1u);
    EXPECT_EQ(g_handled[0].second, static_cast<CCmdTarget*>(g_pView));
    EXPECT_TRUE(Stopped());
}

TEST_F(MainFrameTest, CloseHidesAndOpenShowsAgain) {
    Create();
    ShowActive();
    m_frame->close();
    EXPECT_FALSE(m_frame->isVisible());
    EXPECT_FALSE(m_frame->exited());
    EXPECT_EQ(g_bClosing, 0);
    m_frame->OnCommand(ID_OPEN_WINDOW);
    EXPECT_TRUE(m_frame->isVisible());
    m_frame->OnCommand(ID_HIDE_WINDOW);
    EXPECT_FALSE(m_frame->isVisible());
    // A double click on the tray icon opens the window.
    m_frame->messageTarget()->Post(WM_TRAY_NOTIFY, IDR_TRAY_MENU, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(PumpUntil([&] { return m_frame->isVisible(); }));
}

TEST_F(MainFrameTest, WithoutATrayCloseMinimizes) {
    CTrayIcon::SetAvailabilityProbe(NoTray);
    Create();
    ShowActive();
    EXPECT_FALSE(m_frame->m_trayIcon.visible());
    m_frame->close();
    EXPECT_TRUE(m_frame->isVisible());
    EXPECT_TRUE(m_frame->isMinimized());
    EXPECT_FALSE(m_frame->exited());
    // File > Close alike.
    m_frame->showNormal();
    ASSERT_FALSE(m_frame->isMinimized());
    m_frame->MenuAction(ID_HIDE_WINDOW)->trigger();
    EXPECT_TRUE(m_frame->isVisible());
    EXPECT_TRUE(m_frame->isMinimized());
    // A tray that starts after the program shows the icon: closing now hides.
    CTrayIcon::SetAvailabilityProbe(TrayPresent);
    m_frame->close();
    EXPECT_FALSE(m_frame->isVisible());
}

TEST_F(MainFrameTest, ATrayThatWentAwayMakesCloseMinimize) {
    Create();
    ShowActive();
    ASSERT_TRUE(m_frame->m_trayIcon.visible());
    m_frame->close();
    ASSERT_FALSE(m_frame->isVisible());
    CTrayIcon::SetAvailabilityProbe(NoTray);  // the panel with the notification area ended
    // The hidden window is shown minimized, as it could not come back otherwise.
    EXPECT_TRUE(PumpUntil([&] { return m_frame->isVisible() && m_frame->isMinimized(); }));
    m_frame->showNormal();
    m_frame->close();
    EXPECT_TRUE(m_frame->isVisible());
    EXPECT_TRUE(m_frame->isMinimized());
}

TEST_F(MainFrameTest, TrayMenuFollowsTheServiceState) {
    Create();
    for (bool stopped : {true, false}) {
        g_pHostList->stopped.store(stopped ? 1 : 0);
        std::unique_ptr<QMenu> menu(LoadPopupMenu(IDR_TRAY_MENU, nullptr));
        m_frame->messageTarget()->Send(WM_TRAY_MENU, reinterpret_cast<WPARAM>(menu.get()),
                                       WM_RBUTTONUP);
        const QList<QAction*> items = menu->actions();
        EXPECT_EQ(items[4]->isEnabled(), stopped);
        EXPECT_EQ(items[5]->isEnabled(), !stopped);
        EXPECT_EQ(menu->defaultAction(), items[stopped ? 4 : 5]);
    }
}

uint32_t ChooseTtl(QMenu*, const QPoint&) {
    return 32803;
}

TEST_F(MainFrameTest, ExitSavesStopsEveryThreadAndWritesTheRunAtLogonEntry) {
    Create();
    ShowActive();
    g_bSetupModified = 1;
    ASSERT_TRUE(std::filesystem::remove(AutostartFile()));  // written at start, and again now
    // "TTL" hidden from the header's column menu: the layout outlives the program.
    SetPopupTracker(ChooseTtl);
    QHeaderView* header = g_pView->m_pList->horizontalHeader();
    g_pView->m_pList->OnContextMenu(header->mapToGlobal(QPoint(10, header->height() / 2)));
    SetPopupTracker(nullptr);
    m_frame->OnCommand(ID_APP_EXIT);
    EXPECT_TRUE(PumpUntil([&] { return m_frame->exited(); }));
    EXPECT_EQ(GetProfileString(CExtListCtrl::LayoutSection(), kLayoutWidthKey, ""),
              "328;160;168;0;160;128;128;88;");
    EXPECT_EQ(g_bClosing, 1);
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_GT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
    EXPECT_TRUE(std::filesystem::exists(AutostartFile()));  // bit 0 of start_set is set
    EXPECT_EQ(g_pSendPingThread, nullptr);
    EXPECT_EQ(g_pDNSThread, nullptr);
    EXPECT_EQ(g_pMailThread, nullptr);
    EXPECT_EQ(g_pExecThread, nullptr);
    EXPECT_EQ(g_pBoxThread, nullptr);
    EXPECT_EQ(g_pBeepThread, nullptr);
    EXPECT_FALSE(m_frame->isVisible());
    EXPECT_FALSE(m_frame->m_trayIcon.visible());
    // The view's window refuses what stopped workers might still send.
    EXPECT_TRUE(g_pView->messageTarget()->closing());
    // A second Exit, or the end of the session after it, does nothing.
    m_frame->OnCommand(ID_APP_EXIT);
    m_frame->OnEndSession(true);
    QCoreApplication::processEvents();
}

// A full table whose setup is larger than 8 MB is shown whole, and File > Exit stores it
// again byte for byte.
TEST_F(MainFrameTest, AFullTableWithLongDescriptionsIsShownAndStoredAgainAtExit) {
    StoreSetup(kMaxHosts, kStartSetRunAtLogon, [](CSetupInfo& setup, CHostItem& host) {
        setup.ColumnWidth = {328, 160, 168, 68, 160, 128, 128, 88};  // as the list shows them
        host.descript = std::string(60, 'd');
    });
    std::vector<uint8_t> stored, after;
    ASSERT_GT(LoadRegistryBlob(stored, kMaxSetupLength), 8 << 20);
    Create();
    EXPECT_EQ(g_pView->m_pList->model()->rowCount(), kMaxHosts);
    g_bSetupModified = 1;  // as after any edit
    m_frame->OnCommand(ID_APP_EXIT);
    EXPECT_TRUE(PumpUntil([&] { return m_frame->exited(); }));
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_EQ(LoadRegistryBlob(after, kMaxSetupLength), static_cast<int>(stored.size()));
    EXPECT_TRUE(after == stored);
}

TEST_F(MainFrameTest, EndOfSessionRemovesTheRunAtLogonEntryWhenNotWanted) {
    Create();
    ASSERT_EQ(SetRunAtLogon(2), 1);
    ASSERT_TRUE(std::filesystem::exists(AutostartFile()));
    g_pSetupInfo->start_set = kStartSetAutoStart;  // bit 0 clear
    m_frame->hide();                               // ends also from the tray
    m_frame->OnEndSession(true);
    EXPECT_TRUE(m_frame->exited());
    EXPECT_FALSE(std::filesystem::exists(AutostartFile()));
    // Nothing was modified, so nothing was stored.
    EXPECT_LT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
}

// SIGTERM or the end of the session may come while a dialog is open: the exit path runs from
// inside the dialog's loop, the dialog is taken down and the application's loop ends. Runs
// in the application's own loop, as the program does.
TEST_F(MainFrameTest, TheSessionEndsAlsoWhileADialogIsOpen) {
    Create();
    ShowActive();
    g_bSetupModified = 1;
    bool settingReturned = false;
    QPointer<QWidget> dialog;
    // Runs inside the dialog's own loop once the dialog shows.
    QTimer ender;
    QObject::connect(&ender, &QTimer::timeout, [&] {
        if (dialog.isNull() && QApplication::activeModalWidget() != nullptr) {
            dialog = QApplication::activeModalWidget();
            ender.stop();
            m_frame->OnEndSession(true);
        }
    });
    ender.start(20);
    // The timers below are tied to `ender`: one left over must not fire into a later test,
    // writing to this test's stack and ending that test's loop.
    QTimer::singleShot(0, &ender, [&] {
        m_frame->OnCommand(ID_SETTING);
        settingReturned = true;
    });
    // Should the dialog or the loop outlive the exit path, both are ended later, so the test
    // fails instead of hanging.
    bool forced = false;
    QTimer::singleShot(5000, &ender, [&] {
        forced = true;
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        QCoreApplication::exit(1);
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(forced);
    EXPECT_TRUE(settingReturned);
    EXPECT_TRUE(m_frame->exited());
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_GT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
    EXPECT_EQ(g_pSendPingThread, nullptr);
    EXPECT_EQ(g_pMailThread, nullptr);
}

TEST_F(MainFrameTest, PowerAndQueryEndSessionSaveOnlyAModifiedSetup) {
    Create();
    m_frame->messageTarget()->Send(WM_POWERBROADCAST, 4, 0);
    EXPECT_LT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
    g_bSetupModified = 1;
    EXPECT_EQ(m_frame->messageTarget()->Send(WM_POWERBROADCAST, 7, 0), std::optional<LRESULT>(0));
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_GT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
    g_bSetupModified = 1;
    EXPECT_TRUE(m_frame->OnQueryEndSession());
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_FALSE(m_frame->exited());
}

TEST_F(MainFrameTest, TheMinuteTimerRunsTheViewsMinuteWork) {
    CMainFrame::Timing timing = CMainFrame::timing();
    timing.minuteTimerMs = 20;
    CMainFrame::SetTiming(timing);
    Create();
    EXPECT_NE(g_minuteTimerId, 0);
    m_frame->hide();  // it fires whether the window shows or not
    g_bSetupModified = 1;
    EXPECT_TRUE(PumpUntil([] { return g_pView->m_timerTicks >= 3; }));
    EXPECT_EQ(g_bSetupModified, 0);  // the minute work saved the changed setup
    EXPECT_GT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
    // A column hidden: the next minute writes the layout, later ones only when it changed.
    g_pView->m_pList->OnToggleColumn(32803);
    const uint32_t ticks = g_pView->m_timerTicks;
    EXPECT_TRUE(PumpUntil([&] { return g_pView->m_timerTicks > ticks; }));
    EXPECT_EQ(GetProfileString(CExtListCtrl::LayoutSection(), kLayoutWidthKey, ""),
              "328;160;168;0;160;128;128;88;");
    ASSERT_TRUE(std::filesystem::remove(WinIniPath()));
    EXPECT_TRUE(PumpUntil([&] { return g_pView->m_timerTicks > ticks + 2; }));
    EXPECT_FALSE(std::filesystem::exists(WinIniPath()));
}

// A popup presenter that ignores its stop flag: the box thread showing it cannot stop until
// the test releases it.
class StuckPresenter : public BoxPresenter {
public:
    void ShowBox(const std::shared_ptr<MessageTarget>&, const std::string&, const std::string&,
                 const std::atomic<uint8_t>&) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        entered = true;
        m_cond.wait(lock, [&] { return m_released; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_cond.notify_all();
    }
    std::atomic<bool> entered{false};

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_released = false;
};

// Keeps the given-up thread's object reachable: it is leaked on purpose, never freed.
cboxthread* g_givenUpBoxThread = nullptr;

TEST_F(MainFrameTest, AThreadThatDoesNotStopIsGivenUpAndTheExitPathCompletes) {
    // Static: the given-up thread may still use it after this test.
    static StuckPresenter presenter;
    SetBoxPresenter(&presenter);
    CMainFrame::Timing timing = CMainFrame::timing();
    timing.threadWaitMs = 300;
    CMainFrame::SetTiming(timing);
    Create();
    g_givenUpBoxThread = g_pBoxThread;
    ASSERT_EQ(g_pBoxThread->AddBox(nullptr, "Velmora IPV6", "a box nobody closes"), 0);
    ASSERT_TRUE(testsupport::WaitUntil([] { return presenter.entered.load(); }));
    g_bSetupModified = 1;
    const auto start = std::chrono::steady_clock::now();
    m_frame->OnCommand(ID_APP_EXIT);
    EXPECT_TRUE(PumpUntil([&] { return m_frame->exited(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(g_givenUpBoxThread->abandoned());
    // Every other step ran: the threads after it were waited for, the setup was saved.
    EXPECT_EQ(g_pBoxThread, nullptr);
    EXPECT_EQ(g_pBeepThread, nullptr);
    EXPECT_EQ(g_bSetupModified, 0);
    presenter.Release();  // it ends on its own now
    SetBoxPresenter(nullptr);
}

TEST_F(MainFrameTest, NewTemplateFromItsKeyEmptiesTheSetupWhileStopped) {
    StoreSetup(2, kStartSetRunAtLogon);
    Create();
    ShowActive();
    ASSERT_EQ(g_rowCount, 2);
    g_pHostList->stopped.store(0);
    QTest::keySequence(m_frame, QKeySequence("Ctrl+N"));  // disabled while running
    EXPECT_EQ(g_rowCount, 2);
    g_pHostList->stopped.store(1);
    QTest::keySequence(m_frame, QKeySequence("Ctrl+N"));
    EXPECT_EQ(g_rowCount, 0);
    EXPECT_EQ(g_pHostList->count.load(), 0);
    EXPECT_EQ(g_pSetupInfo->start_set, CSetupInfo().start_set);
}

TEST_F(MainFrameTest, HomePageAndLogFileGoThroughTheShell) {
    Create();
    m_frame->OnCommand(ID_HOME_PAGE);
    ASSERT_EQ(g_spawned.size(), 1u);
    EXPECT_EQ(g_spawned[0][0], "xdg-open");
    g_spawned.clear();
    m_frame->OnCommand(ID_VIEW_LOG_FILE);  // no log file name: nothing
    EXPECT_TRUE(g_spawned.empty());
    g_pSetupInfo->logfilename = m_dir.File("events.LoG");
    m_frame->OnCommand(ID_VIEW_LOG_FILE);
    ASSERT_EQ(g_spawned.size(), 1u);
    EXPECT_EQ(g_spawned[0], (std::vector<std::string>{"xdg-open", m_dir.File("events.LoG")}));
    g_spawned.clear();
    // Whatever the name ends in, never the terminal editor the environment names.
    setenv("VISUAL", "myeditor --wait", 1);
    setenv("EDITOR", "vi", 1);
    g_pSetupInfo->logfilename = m_dir.File("events.txt");
    m_frame->OnCommand(ID_VIEW_LOG_FILE);
    unsetenv("VISUAL");
    unsetenv("EDITOR");
    ASSERT_EQ(g_spawned.size(), 1u);
    EXPECT_EQ(g_spawned[0], (std::vector<std::string>{"xdg-open", m_dir.File("events.txt")}));
}

// A server that takes the connection and never says a word.
class SilentServer {
public:
    SilentServer() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        listen(m_fd, 4);
        socklen_t len = sizeof(addr);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~SilentServer() { close(m_fd); }
    uint16_t port() const { return m_port; }
    bool HasCaller() const {
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

TEST_F(MainFrameTest, ExitEndsInTimeWhileAMailHangsOnASilentServer) {
    Create();
    SilentServer server;
    const std::string to = "admin@example.org";
    ASSERT_EQ(g_pMailThread->AddMail(nullptr, "127.0.0.1", server.port(), "Monitor",
                                     "monitor@example.org", 0, "", "", 1, &to, "down", "body", 0),
              0);
    g_pMailThread->Trigger();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.HasCaller(); }));
    const auto start = std::chrono::steady_clock::now();
    m_frame->OnCommand(ID_APP_EXIT);
    EXPECT_TRUE(PumpUntil([&] { return m_frame->exited(); }, 10s));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(CMainFrame::timing().threadWaitMs + 2000));
    EXPECT_EQ(g_pMailThread, nullptr);
}

}  // namespace
