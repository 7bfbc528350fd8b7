#include "app/corvantis_app.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include <QApplication>
#include <QScreen>

#include "engine/host_list.h"
#include "platform/instance_lock.h"
#include "platform/shell.h"
#include "ui/about_dlg.h"
#include "ui/command_table.h"
#include "ui/main_frame.h"

CCorvantisApp theApp;

namespace {

// Held for the life of the process; the system drops it whatever way the process ends.
InstanceLock g_instanceLock;

AboutRunner g_aboutRunner = nullptr;

void ShowAboutBox() {
    CAboutDlg dialog(theApp.m_pMainWnd);
    dialog.exec();
}

}  // namespace

void SetAboutRunner(AboutRunner runner) {
    g_aboutRunner = runner;
}

CCorvantisApp::CCorvantisApp() {
    // Local times in mails and log lines follow TZ when it is set.
    tzset();
}

bool TakeInstanceLock() {
    if (g_instanceLock.held())
        return true;
    // A lock file that cannot be used keeps nobody from starting.
    return g_instanceLock.Acquire(kInstanceLockName) != InstanceLock::Result::kHeldElsewhere;
}

void ReleaseInstanceLock() {
    g_instanceLock.Release();
}

bool CCorvantisApp::InitInstance() {
    if (!TakeInstanceLock())
        return false;

    // Sockets need no start-up here; a peer closing a connection must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication::setOrganizationName("Local AppWizard-Generated Applications");
    QCoreApplication::setApplicationName(QString::fromUtf8(StringResource(IDS_APP_TITLE)));
    // The application entry installed with the program is velmora.desktop: a Wayland desktop
    // finds it by this app id, an X11 one by the window class's instance name, the program's
    // file name.
    QGuiApplication::setDesktopFileName(QStringLiteral("velmora"));

    for (size_t i = 0; i < kSendBufferSize; ++i)
        g_sendBuffer[i] = static_cast<uint8_t>('a' + i % 26);

    auto* frame = new CMainFrame();
    m_pMainWnd = frame;
    frame->SetAppTarget(this);
    if (!frame->LoadFrame(IDR_MAINFRAME)) {
        m_pMainWnd = nullptr;
        delete frame;
        return false;
    }
    // Without a window manager nothing maximizes the window: it is given the screen itself.
    if (const QScreen* screen = frame->screen())
        frame->setGeometry(screen->availableGeometry());
    frame->showMaximized();
    return true;
}

bool CCorvantisApp::OnCmdMsg(uint32_t id) {
    switch (id) {
        case ID_APP_ABOUT:
            OnAppAbout();
            return true;
        case ID_HELP:
            OnHelp();
            return true;
        default:
            return false;
    }
}

void CCorvantisApp::OnAppAbout() {
    if (g_aboutRunner != nullptr)
        g_aboutRunner();
    else
        ShowAboutBox();
}

void CCorvantisApp::OnHelp() {
    const char* dir = GetModuleDirectory();
    if (dir == nullptr)
        return;
    const ProgramDocuments documents = FindProgramDocuments(dir);
    // Most desktops have no viewer for compiled help, and a build without chmcmd has no
    // compiled file; the same pages as HTML open anywhere.
    if (access(documents.helpFile.c_str(), R_OK) == 0 &&
        !ShellDefaultApplication(kHelpMimeType).empty())
        ShellOpenDocument(documents.helpFile);
    else
        ShellOpenDocument(documents.helpPages);
}

const char* GetModuleDirectory() {
    // Room for any path the system gives, not only the classic 260 characters.
    static char buffer[PATH_MAX + 1];
    const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0)
        return nullptr;
    buffer[n] = '\0';
    if (char* slash = std::strrchr(buffer, '/'))
        slash[1] = '\0';
    return buffer;
}
