#pragma once

#include <cstdint>

#include "platform/program_files.h"
#include "ui/menus.h"

class CMainFrame;

// The application object: one running instance per user, the shared echo payload, the
// main frame, and the two commands that belong to the application (Help and About).
// User-interface thread.
class CCorvantisApp : public CCmdTarget {
public:
    CCorvantisApp();

    // Start-up in order: the single-instance lock, sockets, the payload buffer, the main
    // frame, shown maximized. False ends the process at once, silently.
    bool InitInstance();
    // Commands 32782 (Help) and 57664 (About).
    bool OnCmdMsg(uint32_t id) override;
    void OnAppAbout();
    void OnHelp();

    // The main window once InitInstance created it.
    CMainFrame* m_pMainWnd = nullptr;
};

extern CCorvantisApp theApp;

// The directory of the program file, ending in '/', in a buffer that each call overwrites;
// nullptr when the program's path cannot be read.
const char* GetModuleDirectory();

// Name of the single-instance lock.
constexpr const char* kInstanceLockName = "Corvantis";
// Takes the single-instance lock for the life of the process; false when another instance
// holds it. Needs no display, so a second start can end before one is opened. Taking it
// again once held does nothing.
bool TakeInstanceLock();
// Lets the lock go (tests; the program keeps it for its whole life).
void ReleaseInstanceLock();
// The type of the compiled help for the desktop.
constexpr const char* kHelpMimeType = "application/vnd.ms-htmlhelp";

// Runs the About box; the box itself is replaceable (tests answer it at once).
using AboutRunner = void (*)();
void SetAboutRunner(AboutRunner runner);
