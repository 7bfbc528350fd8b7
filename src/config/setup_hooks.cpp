#include "config/setup_hooks.h"

#include "platform/message_box.h"

namespace {

SetupHooks g_defaultHooks;
SetupHooks* g_hooks = &g_defaultHooks;

}  // namespace

int SetupHooks::HostListColumnWidth(int) {
    return -1;
}

void SetupHooks::RebuildHostList() {}

bool SetupHooks::OpenLogFile(const std::string&) {
    return true;
}

void SetupHooks::ShowWarning(const std::string& text) {
    ShowMessageBox(kDefaultWarningCaption, text, MB_OK | MB_ICONWARNING);
}

void SetSetupHooks(SetupHooks* hooks) {
    g_hooks = hooks != nullptr ? hooks : &g_defaultHooks;
}

SetupHooks& GetSetupHooks() {
    return *g_hooks;
}
