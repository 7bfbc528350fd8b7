#pragma once

#include <string>

#include "config/setup_hooks.h"

// What the setup document reaches in the windows: the host list's column widths and its
// rebuild, the log file, and the warning box. Installed by the main frame for its life.
// User-interface thread.
class CUiSetupHooks : public SetupHooks {
public:
    int HostListColumnWidth(int column) override;
    void RebuildHostList() override;
    bool OpenLogFile(const std::string& path) override;
    void ShowWarning(const std::string& text) override;
};

// Caption of the program's warning and failure boxes.
constexpr const char* kBoxCaption = "Velmora IPV6";
