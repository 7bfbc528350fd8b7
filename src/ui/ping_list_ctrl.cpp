#include "ui/ping_list_ctrl.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <QAction>
#include <QDrag>
#include <QHeaderView>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMouseEvent>

#include "alerts/alert_dispatch.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "platform/message_box.h"
#include "ui/command_table.h"
#include "ui/corvantis_view.h"
#include "ui/dlg_add_ip.h"
#include "ui/dlg_add_range.h"
#include "ui/host_compare.h"
#include "ui/host_row_text.h"
#include "ui/menus.h"

uint16_t g_selectedRows[kSelectedRowsSize] = {};
int g_selectedCount = 0;

const int g_hostColumnIds[kHostColumnCount] = {32800, 32801, 32802, 32803,
                                               32804, 32805, 32806, 32807};
const char* const g_hostColumnTitles[kHostColumnCount] = {
    "Description",           "Ip Address / Host Name", "Ping State",    "TTL",
    "RTT: Min/Max/Aver/Cur", "All send requests",      "All get reply", "Lost rate"};
const int g_hostColumnDefaultWidths[kHostColumnCount] = {328, 160, 168, 68, 160, 128, 128, 88};

namespace {

constexpr uint32_t kItemMenuId = 134;
constexpr const char* kLayoutKey = "VelmoraListCol3.2";

// The settings the state rule reads; the defaults while no settings record exists.
const CSetupInfo& StateSettings() {
    static const CSetupInfo* defaults = new CSetupInfo();
    return g_pSetupInfo != nullptr ? *g_pSetupInfo : *defaults;
}

CHostItem* HostOfRow(int32_t row) {
    if (g_pHostList == nullptr || row < 0 || row >= g_rowCount)
        return nullptr;
    return g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[row]));
}

int RowOf(const CHostItem* host) {
    return static_cast<int>(std::min<uint32_t>(host->row, INT32_MAX));
}

}  // namespace

CPingListCtrl::CPingListCtrl(QWidget* parent)
    : CExtListCtrl(parent), m_model(new HostTableModel(g_hostColumnTitles, this)) {
    std::copy(std::begin(g_hostColumnDefaultWidths), std::end(g_hostColumnDefaultWidths),
              m_columnWidths);
    m_nColumns = kHostColumnCount;
    m_pnColumnWidth = m_columnWidths;
    m_pnColumnID = g_hostColumnIds;
    m_ppszColumnTitle = g_hostColumnTitles;
    m_nItemMenuID = kItemMenuId;
    std::strncpy(m_szLayoutKey, kLayoutKey, sizeof(m_szLayoutKey) - 1);

    setObjectName("hostList");
    setModel(m_model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setIconSize(QSize(16, 16));
    // Every row has one height, so the view never measures rows: 65,535 rows cost nothing
    // until they are painted.
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(std::max(fontMetrics().height() + 4, 18));
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int i = 0; i < kHostColumnCount; ++i)
        setColumnWidth(i, g_hostColumnDefaultWidths[i]);
    // A row can be dragged; no window takes the drop, so nothing moves.
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    // The stored widths, hidden columns and order apply from the start; an owner that
    // calls InsertColumns again changes nothing.
    InsertColumns();
}

CPingListCtrl::~CPingListCtrl() {
    // The layout is written while the model still exists.
    OnDestroy();
}

void CPingListCtrl::FillHostRow(CHostItem* host) {
    if (host == nullptr)
        return;
    const int row = RowOf(host);
    // Cells are written only into the row that carries this host; the state is decided
    // in any case.
    const bool shown = m_model->ItemData(row) == host;

    if (shown) {
        FormatAddressText(*host, false, m_text);
        m_model->SetCell(row, 1, m_text);
    }

    // Every engine field once: the engine threads change them while this runs.
    const uint32_t sent = host->sent_count.load();
    uint32_t received = host->recv_count.load();
    const uint16_t result = host->result.load();
    const uint8_t code = host->icmp_code.load();
    const uint32_t sendError = host->send_error.load();
    const uint8_t ttl = host->ttl.load();
    const uint32_t runCount = host->run_count.load();
    const uint8_t up = host->up.load();

    if (sent != 0 && received > sent) {
        host->recv_count.store(sent);
        received = sent;
    }

    if (shown) {
        FormatStatusText(result, code, sendError, sent, host->IsIPv6(), m_text);
        m_model->SetCell(row, 2, m_text);
        FormatDecimal(ttl, m_text);
        m_model->SetCell(row, 3, m_text);
    }
    FormatRoundTripText(host->rtt_min, host->rtt_max, host->rtt_avg, host->rtt_cur, host->rtt_text);
    host->lost_rate = LostRate(sent, received);
    StoreLostRateText(*host, LostRateText(host->lost_rate));
    if (shown) {
        m_model->SetCell(row, 4, host->rtt_text);
        FormatDecimal(sent, m_text);
        m_model->SetCell(row, 5, m_text);
        FormatDecimal(received, m_text);
        m_model->SetCell(row, 6, m_text);
        m_text.assign(host->lost_rate_text);
        m_model->SetCell(row, 7, m_text);
    }

    const CSetupInfo& settings = StateSettings();
    const int32_t state = HostStateRule(runCount, up, host->lost_rate, settings);
    // The loss rate counts since the start, so a host back from an outage is long over the
    // threshold: for a host announced down, the rule without the loss-rate step decides what
    // is announced, or its return would be announced with the down texts and never as up.
    // Its row shows the loss-rate state all the same.
    const int32_t announced = host->notified_state == kStateDown
                                  ? HostStateBeforeLossRate(runCount, up, settings)
                                  : state;
    if (state != host->state) {
        host->state = state;
        if (shown)
            m_model->SetImage(row, state);
    } else if (announced == state) {
        return;
    }
    if (announced == kStateChanging || announced == host->notified_state)
        return;
    host->notified_state = static_cast<uint8_t>(announced);
    // The event row, the alerts and their texts follow the state announced.
    host->state = announced;
    DispatchHostEvent(host);
    host->state = state;
}

void CPingListCtrl::UpdateHostRow(CHostItem* host) {
    if (host == nullptr)
        return;
    const int row = RowOf(host);
    m_model->SetItemData(row, host);
    FillHostRow(host);
    m_model->SetCell(row, 0, host->name);
    m_model->SetImage(row, host->state);
}

int CPingListCtrl::SetHostNameText(CHostItem* host) {
    if (host == nullptr)
        return 0;
    return m_model->SetCell(RowOf(host), 0, host->name) ? 1 : 0;
}

void CPingListCtrl::RefillList() {
    if (g_pHostList == nullptr)
        return;
    std::vector<HostTableModel::CRow> rows;
    const uint32_t count = g_pHostList->count.load();
    rows.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        CHostItem* host = g_pHostList->Host(i);
        // The map follows the rows actually made, so an empty slot cannot leave a row
        // pointing at the wrong host.
        if (host == nullptr)
            continue;
        const size_t row = rows.size();
        g_rowToHost[row] = static_cast<int32_t>(i);
        host->row = static_cast<uint32_t>(row);
        HostTableModel::CRow cells;
        cells.text[0] = host->name;
        cells.image = host->state;
        cells.item = host;
        rows.push_back(std::move(cells));
    }
    g_rowCount = static_cast<int32_t>(rows.size());
    m_model->ResetRows(std::move(rows));
    for (int32_t row = 0; row < g_rowCount; ++row) {
        if (CHostItem* host = m_model->ItemData(row))
            FillHostRow(host);
    }
}

int CPingListCtrl::GetSelectedRows() {
    const int rows = m_model->Rows();
    std::vector<uint8_t> selected(static_cast<size_t>(rows), 0);
    if (QItemSelectionModel* selection = selectionModel()) {
        // Walks the selection's ranges rather than asking row by row, which costs the
        // number of ranges for every row.
        for (const QItemSelectionRange& range : selection->selection()) {
            const int top = std::max(range.top(), 0);
            const int bottom = std::min(range.bottom(), rows - 1);
            for (int row = top; row <= bottom; ++row)
                selected[static_cast<size_t>(row)] = 1;
        }
    }
    g_selectedCount = 0;
    for (int row = 0; row < rows && g_selectedCount < kSelectedRowsSize; ++row) {
        if (selected[static_cast<size_t>(row)] != 0)
            g_selectedRows[g_selectedCount++] = static_cast<uint16_t>(row);
    }
    return g_selectedCount;
}

void CPingListCtrl::SelectRows(const std::vector<int32_t>& rows) {
    QItemSelectionModel* selection = selectionModel();
    if (selection == nullptr || rows.empty())
        return;
    QItemSelection ranges;
    for (const auto& [first, last] : RowRuns(rows))
        ranges.select(m_model->index(first, 0), m_model->index(last, kHostColumnCount - 1));
    selection->select(ranges, QItemSelectionModel::Select);
    selection->setCurrentIndex(m_model->index(rows.back(), 0), QItemSelectionModel::NoUpdate);
}

int CPingListCtrl::SortByColumn(int column) {
    if (column < 0 || column >= kHostColumnCount)
        return 0;
    GetSelectedRows();
    const std::vector<int32_t> selected(g_selectedRows, g_selectedRows + g_selectedCount);
    setUpdatesEnabled(false);
    if (QItemSelectionModel* selection = selectionModel())
        selection->clear();
    m_bSortAscending[column] ^= 1;
    const CRowSortResult sorted = SortRowMap(column, m_bSortAscending[column] != 0, selected);
    if (sorted.sorted && !m_model->PermuteRows(sorted.newRowOfOldRow)) {
        // The list and the row map disagree on the number of rows: the list is rebuilt
        // from the map rather than left showing other hosts than the map says.
        std::vector<HostTableModel::CRow> rows(static_cast<size_t>(std::max(g_rowCount, 0)));
        for (int32_t row = 0; row < g_rowCount; ++row)
            rows[static_cast<size_t>(row)].item = HostOfRow(row);
        m_model->ResetRows(std::move(rows));
    }
    for (int32_t row = 0; row < g_rowCount; ++row) {
        if (CHostItem* host = HostOfRow(row))
            UpdateHostRow(host);
    }
    SelectRows(sorted.selectedRows);
    setUpdatesEnabled(true);
    return 0;
}

int CPingListCtrl::DeleteSelected() {
    const int selected = GetSelectedRows();
    if (selected <= 0)
        return selected;
    setUpdatesEnabled(false);
    const std::vector<int32_t> rows(g_selectedRows, g_selectedRows + selected);
    const CRowDeleteResult deleted = DeleteRows(rows);
    m_model->RemoveRows(deleted.deletedRows);
    setUpdatesEnabled(true);
    return 0;
}

void CPingListCtrl::OnDelete() {
    DeleteSelected();
}

void CPingListCtrl::MoveSelectedDown() {
    MoveSelected(true);
}

void CPingListCtrl::MoveSelectedUp() {
    MoveSelected(false);
}

void CPingListCtrl::MoveSelected(bool down) {
    if (GetSelectedRows() <= 0)
        return;
    const int32_t row = g_selectedRows[0];
    // MoveRow marks the setup modified: the stored host order follows the rows.
    const int32_t other = MoveRow(row, down);
    if (other < 0)
        return;
    setUpdatesEnabled(false);
    // The cells travel with their hosts; the refresh then finds each host in its row.
    m_model->SwapRows(row, other);
    UpdateHostRow(HostOfRow(row));
    UpdateHostRow(HostOfRow(other));
    if (QItemSelectionModel* selection = selectionModel()) {
        const int last = kHostColumnCount - 1;
        selection->select(QItemSelection(m_model->index(row, 0), m_model->index(row, last)),
                          QItemSelectionModel::Deselect);
        selection->select(QItemSelection(m_model->index(other, 0), m_model->index(other, last)),
                          QItemSelectionModel::Select);
        selection->setCurrentIndex(m_model->index(other, 0), QItemSelectionModel::NoUpdate);
    }
    scrollTo(m_model->index(other, 0), QAbstractItemView::EnsureVisible);
    setUpdatesEnabled(true);
}

void CPingListCtrl::AppendHostRows(uint32_t first) {
    if (g_pHostList == nullptr)
        return;
    std::vector<HostTableModel::CRow> rows;
    const uint32_t count = g_pHostList->count.load();
    for (uint32_t i = first; i < count; ++i) {
        CHostItem* host = g_pHostList->Host(i);
        if (host == nullptr)
            continue;
        HostTableModel::CRow cells;
        cells.text[0] = host->name;
        // The address alone until the row's first refresh writes the whole text.
        FormatBareAddress(*host, cells.text[1]);
        cells.image = host->state;
        cells.item = host;
        rows.push_back(std::move(cells));
    }
    m_model->AppendRows(std::move(rows));
}

void CPingListCtrl::OnAddIP() {
    if (g_pHostList == nullptr)
        return;
    const uint32_t before = g_pHostList->count.load();
    CDlgAddIP dialog(window());
    dialog.m_nTable = 0;
    dialog.m_pHost = nullptr;
    if (dialog.DoModal() != IDOK || dialog.m_pHost == nullptr)
        return;
    AppendHostRows(before);
    g_bSetupModified = 1;
    SaveSetupIfModified();
}

void CPingListCtrl::OnAddIPRange() {
    if (g_pHostList == nullptr)
        return;
    const uint32_t before = g_pHostList->count.load();
    CDlgAddRange dialog(window());
    dialog.m_nTable = 0;
    if (dialog.DoModal() != IDOK)
        return;
    AppendHostRows(before);
    g_bSetupModified = 1;
}

void CPingListCtrl::OnClearStatistics() {
    ClearStatistics();
    if (g_pHostList == nullptr)
        return;
    const std::string zero = "0";
    const uint32_t count = g_pHostList->count.load();
    for (uint32_t i = 0; i < count; ++i) {
        CHostItem* host = g_pHostList->Host(i);
        if (host == nullptr || m_model->ItemData(RowOf(host)) != host)
            continue;
        for (int column = 5; column <= 7; ++column)
            m_model->SetCell(RowOf(host), column, zero);
    }
}

void CPingListCtrl::SetSelectedSuspended(bool suspended) {
    if (GetSelectedRows() <= 0)
        return;
    const std::vector<int32_t> rows(g_selectedRows, g_selectedRows + g_selectedCount);
    const std::vector<int32_t> reached = SetRowsSuspended(rows, suspended);
    // Only the text colour changed: the rows are painted again with it.
    if (!reached.empty())
        m_model->RepaintColours(reached.front(), reached.back());
}

void CPingListCtrl::OnSuspendSelected() {
    SetSelectedSuspended(true);
}

void CPingListCtrl::OnResumeSelected() {
    SetSelectedSuspended(false);
}

LRESULT CPingListCtrl::OnSetAddressText(WPARAM wParam, LPARAM) {
    const auto* sent = reinterpret_cast<const CHostItem*>(wParam);
    if (sent == nullptr || g_pHostList == nullptr)
        return 0;
    // The record is looked for by address before it is touched: it may have been deleted
    // while the message was on its way.
    const uint32_t count = g_pHostList->count.load();
    for (uint32_t i = 0; i < count; ++i) {
        CHostItem* host = g_pHostList->Host(i);
        if (host != sent)
            continue;
        const int row = RowOf(host);
        if (m_model->ItemData(row) == host) {
            FormatAddressText(*host, true, m_text);
            m_model->SetCell(row, 1, m_text);
        }
        break;
    }
    return 0;
}

void CPingListCtrl::PrepareContextMenu(QMenu* menu) {
    if (menu == nullptr || g_pHostList == nullptr || g_pHostList->stopped.load() != 0)
        return;
    for (QAction* action : menu->actions()) {
        if (ActionCommand(action) == ID_DELETE)
            action->setEnabled(false);
    }
}

bool CPingListCtrl::OnCmdMsg(uint32_t id) {
    switch (id) {
        case ID_ADD_IP:
            OnAddIP();
            return true;
        case ID_ADD_IP_RANGE:
            OnAddIPRange();
            return true;
        case ID_DELETE:
            // Refused while the service runs, as its menu item is greyed then.
            if (g_pHostList != nullptr && g_pHostList->stopped.load() != 0)
                OnDelete();
            return true;
        case ID_SUSPEND:
            OnSuspendSelected();
            return true;
        case ID_RESUME:
            OnResumeSelected();
            return true;
        case ID_CLEAR_STATISTICS:
            OnClearStatistics();
            return true;
        default:
            return false;
    }
}

void CPingListCtrl::OnLButtonDblClk() {
    if (g_pView != nullptr)
        g_pView->OnEditHost();
}

int CPingListCtrl::ColumnWidth(int column) const {
    if (column < 0 || column >= kHostColumnCount || isColumnHidden(column))
        return 0;
    return columnWidth(column);
}

void CPingListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    CExtListCtrl::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        OnLButtonDblClk();
}

int CPingListCtrl::OnBeginDrag() {
    const QModelIndex index = currentIndex();
    if (!index.isValid())
        return 0;
    m_nDragItem = index.row();
    // The picture of the dragged row as it is shown.
    QRect rect = visualRect(m_model->index(m_nDragItem, 0));
    rect.setLeft(0);
    rect.setRight(viewport()->width() - 1);
    m_pDragImage = viewport()->grab(rect);
    if (!m_pDragImage.isNull())
        m_bDragging = 1;
    return 0;
}

void CPingListCtrl::OnEndDrag() {
    m_bDragging = 0;
    m_pDragImage = QPixmap();
}

void CPingListCtrl::startDrag(Qt::DropActions) {
    OnBeginDrag();
    if (m_bDragging == 0)
        return;
    auto* drag = new QDrag(this);
    drag->setMimeData(m_model->mimeData({m_model->index(m_nDragItem, 0)}));
    drag->setPixmap(m_pDragImage);
    const QRect rect = visualRect(m_model->index(m_nDragItem, 0));
    drag->setHotSpot(viewport()->mapFromGlobal(QCursor::pos()) - QPoint(0, rect.top()));
    // Nobody accepts our rows, and Esc cancels: the order stays as it is.
    drag->exec(Qt::MoveAction);
    OnEndDrag();
}
