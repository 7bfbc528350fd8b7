#include "app/corvantis_app.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "app/session_end.h"
#include "common/test_support.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "engine/host_list.h"
#include "platform/instance_lock.h"
#include "platform/shell.h"
#include "ui/command_table.h"
#include "ui/main_frame.h"

namespace {

std::vector<std::vector<std::string>> g_spawned;
bool RecordSpawn(const std::vector<std::string>& argv) {
    g_spawned.push_back(argv);
    return true;
}
int NoEngine() {
    return 0;
}
std::string HasAHelpViewer(const std::string&) {
    return "chmviewer.desktop";
}
int g_aboutShown = 0;
void CountAbout() {
    ++g_aboutShown;
}

bool PumpUntil(const std::function<bool()>& condition) {
    return testsupport::WaitUntil([&] {
        QCoreApplication::processEvents();
        return condition();
    });
}

class CorvantisAppTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        CMainFrame::Timing timing;
        timing.exitPauseMs = 0;
        timing.destroyPauseMs = 0;
        CMainFrame::SetTiming(timing);
        CMainFrame::SetEngineStarter(NoEngine);
        SetShellSpawnHook(RecordSpawn);
        SetMimeQueryHook(HasAHelpViewer);
        SetAboutRunner(CountAbout);
        g_spawned.clear();
        g_bClosing = 0;
        g_bSetupModified = 0;
        g_setupLength = 0;
    }
    void TearDown() override {
        if (CMainFrame* frame = theApp.m_pMainWnd) {
            if (!frame->exited())
                frame->OnEndSession(true);
            delete frame;
            theApp.m_pMainWnd = nullptr;
        }
        DestroyHostList();
        CMainFrame::SetEngineStarter(nullptr);
        CMainFrame::SetTiming(CMainFrame::Timing());
        SetShellSpawnHook(nullptr);
        SetMimeQueryHook(nullptr);
        SetAboutRunner(nullptr);
        ReleaseInstanceLock();
        g_bClosing = 0;
        SandboxTest::TearDown();
    }
};

TEST_F(CorvantisAppTest, StartUpFillsThePayloadAndShowsTheFrameMaximized) {
    std::memset(g_sendBuffer, 0, kSendBufferSize);
    ASSERT_TRUE(theApp.InitInstance());
    CMainFrame* frame = theApp.m_pMainWnd;
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(g_sendBuffer[0], 'a');
    EXPECT_EQ(g_sendBuffer[25], 'z');
    EXPECT_EQ(g_sendBuffer[26], 'a');
    EXPECT_EQ(g_sendBuffer[kSendBufferSize - 1], 'a' + (kSendBufferSize - 1) % 26);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(frame->isMaximized());
    EXPECT_EQ(frame->windowTitle(), "Velmora IPV6");
    // The instance lock is held while the program runs.
    InstanceLock probe;
    EXPECT_EQ(probe.Acquire(kInstanceLockName), InstanceLock::Result::kHeldElsewhere);
}

TEST_F(CorvantisAppTest, HelpAndAboutBelongToTheApplication) {
    ASSERT_TRUE(theApp.InitInstance());
    CMainFrame* frame = theApp.m_pMainWnd;
    EXPECT_TRUE(frame->OnCommand(ID_HELP));
    ASSERT_EQ(g_spawned.size(), 1u);
    const std::string dir = GetModuleDirectory();
    // No compiled help lies beside the test program, so its pages open.
    EXPECT_EQ(g_spawned[0], (std::vector<std::string>{"xdg-open", dir + "help/index.html"}));
    g_aboutShown = 0;
    EXPECT_TRUE(frame->OnCommand(ID_APP_ABOUT));
    EXPECT_EQ(g_aboutShown, 1);
    EXPECT_FALSE(theApp.OnCmdMsg(ID_ADD_IP));
}

TEST(GetModuleDirectory, IsTheProgramsDirectoryWithATrailingSlash) {
    const std::string dir = GetModuleDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(dir.front(), '/');
    EXPECT_TRUE(std::filesystem::exists(dir + "app_tests"));
}

TEST_F(CorvantisAppTest, SigtermEndsTheSessionLikeTheDesktopWould) {
    ASSERT_TRUE(theApp.InitInstance());
    CMainFrame* frame = theApp.m_pMainWnd;
    CSessionWatcher watcher;
    watcher.SetFrame(frame);
    g_bSetupModified = 1;
    raise(SIGTERM);  // the handler only writes to the pipe; the frame runs the exit path
    ASSERT_TRUE(PumpUntil([&] { return frame->exited(); }));
    EXPECT_EQ(watcher.signalsSeen(), 1);
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_GT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
    EXPECT_TRUE(std::filesystem::exists(m_dir.File("config") + "/autostart/velmora.desktop"));
}

TEST_F(CorvantisAppTest, SleepAndWakeNoticesSaveAModifiedSetup) {
    ASSERT_TRUE(theApp.InitInstance());
    CSessionWatcher watcher;
    watcher.SetFrame(theApp.m_pMainWnd);
    watcher.OnPrepareForSleep(true);
    EXPECT_LT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);  // nothing changed
    g_bSetupModified = 1;
    watcher.OnPrepareForSleep(true);
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_GT(LoadRegistryBlob(g_setupBuffer, kMaxSetupLength), 0);
    g_bSetupModified = 1;
    watcher.OnPrepareForSleep(false);
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_FALSE(theApp.m_pMainWnd->exited());
}

}  // namespace
