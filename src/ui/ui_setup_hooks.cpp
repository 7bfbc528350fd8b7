#include "ui/ui_setup_hooks.h"

#include "alerts/log_file.h"
#include "platform/message_box.h"
#include "ui/corvantis_view.h"
#include "ui/ping_list_ctrl.h"

int CUiSetupHooks::HostListColumnWidth(int column) {
    if (g_pView == nullptr || g_pView->m_pList == nullptr)
        return -1;
    return g_pView->m_pList->ColumnWidth(column);
}

void CUiSetupHooks::RebuildHostList() {
    if (g_pView != nullptr)
        g_pView->OnInitialUpdate();
}

bool CUiSetupHooks::OpenLogFile(const std::string& path) {
    return ReopenLogFile(path);
}

void CUiSetupHooks::ShowWarning(const std::string& text) {
    ShowMessageBox(kBoxCaption, text, MB_OK | MB_ICONWARNING);
}
