#include "ui/event_view.h"

#include <QHeaderView>

#include "alerts/event_text.h"
#include "engine/host_item.h"
#include "ui/command_table.h"

CEventView* g_pEventView = nullptr;

CEventView::CEventView(QWidget* parent) : QTreeWidget(parent) {
    setObjectName("eventList");
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformRowHeights(true);
}

CEventView::~CEventView() {
    if (g_pEventRowSink == this)
        g_pEventRowSink = nullptr;
    if (g_pEventView == this)
        g_pEventView = nullptr;
}

int CEventView::OnCreate() {
    g_pEventRowSink = this;
    clear();
    setHeaderLabels({"Event", "Description", "Ip Address / Host Name", "Time"});
    const int w = fontMetrics().averageCharWidth();
    setColumnWidth(0, (50 + 2) * w);
    setColumnWidth(1, (60 + 2) * w);
    setColumnWidth(2, (30 + 2) * w);
    setColumnWidth(3, (30 + 2) * w);
    return 0;
}

void CEventView::AddEvent(CHostItem* host, const std::tm& local) {
    if (host == nullptr)
        return;
    auto* row = new QTreeWidgetItem(this);
    row->setText(0, QString::fromUtf8(EventText(*host).c_str()));
    row->setText(1, QString::fromUtf8(host->name.c_str()));
    row->setText(2, QString::fromUtf8(EventListAddressText(*host).c_str()));
    row->setText(3, QString::fromUtf8(FormatDateText(local).c_str()));
}

void CEventView::OnClearEventList() {
    clear();
}

bool CEventView::OnCmdMsg(uint32_t id) {
    if (id != ID_CLEAR_EVENT_LIST)
        return false;
    OnClearEventList();
    return true;
}
