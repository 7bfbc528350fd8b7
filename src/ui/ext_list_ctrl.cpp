#include "ui/ext_list_ctrl.h"

#include <QContextMenuEvent>

#include "ui/command_table.h"

CExtListCtrl::CExtListCtrl(QWidget* parent) : QTableView(parent) {
    for (int i = 0; i < kExtListMaxColumns; ++i) {
        m_nKeepWidth[i] = kDefaultKeepWidth;
        m_nColumnOrder[i] = i;
    }
}

CExtListCtrl::~CExtListCtrl() = default;

void CExtListCtrl::PrepareContextMenu(QMenu*) {}
void CExtListCtrl::InsertColumns() {}
int CExtListCtrl::SortByColumn(int) {
    return 0;
}
bool CExtListCtrl::OnCmdMsg(uint32_t) {
    return false;
}
int CExtListCtrl::OnCreate() {
    return 0;
}
void CExtListCtrl::OnDestroy() {}
void CExtListCtrl::OnContextMenu(const QPoint&, bool) {}
void CExtListCtrl::OnToggleColumn(uint32_t) {}
std::string CExtListCtrl::LayoutSection() {
    const char* name = StringResource(IDS_APP_TITLE);
    return name != nullptr ? name : "";
}
void CExtListCtrl::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
}
bool CExtListCtrl::ReadColumnOrder() {
    return false;
}
void CExtListCtrl::ApplyColumnOrder() {}
void CExtListCtrl::SetColumnShown(int, int) {}
void CExtListCtrl::RouteCommand(uint32_t) {}
