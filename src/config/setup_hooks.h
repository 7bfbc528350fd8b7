#pragma once

#include <string>

// What the setup document needs from the windows and the log file, which live in layers
// above config. The user interface installs its implementation at start-up; the defaults
// below do nothing visible, so the core runs (and is tested) without windows.
// Every hook is called on the user-interface thread.
class SetupHooks {
public:
    virtual ~SetupHooks() = default;

    // Width in pixels of column `column` (0..7) of the host list control, 0 when the
    // column does not exist. -1 means there is no list control at all: the width last
    // stored in the settings is kept. Default: -1.
    virtual int HostListColumnWidth(int column);
    // Rebuilds every row of the host list from the host table (the host list view's
    // initial update). Default: nothing.
    virtual void RebuildHostList();
    // Opens the log file on `path` for appending; false when it could not be opened.
    // Default: nothing, true.
    virtual bool OpenLogFile(const std::string& path);
    // Shows `text` in a warning box with an OK button and the caption that the system's
    // warning boxes share. Default: the platform message box (stderr without a UI).
    virtual void ShowWarning(const std::string& text);
};

// Installs `hooks` (nullptr restores the defaults). The object must outlive its use.
void SetSetupHooks(SetupHooks* hooks);
// The installed hooks.
SetupHooks& GetSetupHooks();

// Caption of the warning boxes when no user interface has installed its own.
constexpr const char* kDefaultWarningCaption = "Velmora";
