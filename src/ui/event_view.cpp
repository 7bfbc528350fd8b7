#include "ui/event_view.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <string>

#include <QAbstractTableModel>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

#include <arpa/inet.h>

#include "alerts/event_text.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "ui/command_table.h"
#include "ui/corvantis_view.h"
#include "ui/dlg_setup.h"
#include "ui/ping_list_ctrl.h"

CEventView* g_pEventView = nullptr;

namespace {

constexpr int kColumns = 4;
const char* const kTitles[kColumns] = {"Event", "Description", "Ip Address / Host Name", "Time"};
// Column widths in average characters, plus two for the margins.
constexpr int kWidthChars[kColumns] = {50, 60, 30, 30};

// The longest cell text a double click reads.
constexpr size_t kCellTextMax = 255;

// One event as the list keeps it. The event text is kept only when it is not the event name
// of the state (a TTL change), and the time as its calendar fields; both texts are made
// again when a row is painted, so a row costs about a hundred bytes.
struct EventRow {
    std::string name;
    std::string address;
    std::string custom_event;
    int32_t state = 0;
    int16_t year = 0;
    int8_t mon = 0;
    int8_t mday = 0;
    int8_t wday = 0;
    int8_t hour = 0;
    int8_t min = 0;
    int8_t sec = 0;

    std::tm LocalTime() const {
        std::tm local{};
        local.tm_year = year;
        local.tm_mon = mon;
        local.tm_mday = mday;
        local.tm_wday = wday;
        local.tm_hour = hour;
        local.tm_min = min;
        local.tm_sec = sec;
        return local;
    }
    std::string EventText() const {
        return custom_event.empty() ? std::string(EventName(state)) : custom_event;
    }
    int Image() const { return state == 0 ? 0 : 1; }
};

// The two row images, drawn here: a green triangle pointing up for an up event, a red one
// pointing down for every other event.
QPixmap DrawRowImage(int image) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool up = image == 0;
    painter.setPen(QPen(up ? QColor(0, 100, 0) : QColor(128, 0, 0), 1));
    painter.setBrush(up ? QColor(40, 180, 60) : QColor(220, 40, 40));
    const QPointF upPoints[] = {{8, 2}, {14.5, 13}, {1.5, 13}};
    const QPointF downPoints[] = {{8, 14}, {14.5, 3}, {1.5, 3}};
    painter.drawPolygon(up ? upPoints : downPoints, 3);
    return pixmap;
}

}  // namespace

class CEventListModel : public QAbstractTableModel {
public:
    explicit CEventListModel(QObject* parent) : QAbstractTableModel(parent) {}

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : kColumns;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
            section < kColumns)
            return QString::fromLatin1(kTitles[section]);
        return {};
    }

    QVariant data(const QModelIndex& index, int role) const override {
        const EventRow* row = Row(index.row());
        if (row == nullptr || index.column() < 0 || index.column() >= kColumns)
            return {};
        if (role == Qt::DecorationRole && index.column() == 0)
            return RowImage(row->Image());
        if (role != Qt::DisplayRole)
            return {};
        return SetupTextToQt(CellBytes(*row, index.column()));
    }

    const EventRow* Row(int row) const {
        return row >= 0 && static_cast<size_t>(row) < m_rows.size()
                   ? &m_rows[static_cast<size_t>(row)]
                   : nullptr;
    }

    static std::string CellBytes(const EventRow& row, int column) {
        switch (column) {
            case 0:
                return row.EventText();
            case 1:
                return row.name;
            case 2:
                return row.address;
            case 3:
                return FormatDateText(row.LocalTime());
            default:
                return std::string();
        }
    }

    void Append(EventRow row) {
        // A list of int rows cannot show more; past that the rows are still logged.
        if (m_rows.size() >= static_cast<size_t>(std::numeric_limits<int>::max()))
            return;
        const int at = static_cast<int>(m_rows.size());
        beginInsertRows(QModelIndex(), at, at);
        m_rows.push_back(std::move(row));
        endInsertRows();
    }

    void Clear() {
        beginResetModel();
        std::deque<EventRow>().swap(m_rows);
        endResetModel();
    }

private:
    static QPixmap RowImage(int image) {
        static const QPixmap images[2] = {DrawRowImage(0), DrawRowImage(1)};
        return images[image == 0 ? 0 : 1];
    }

    // A deque grows without moving the rows it has: no pause and no doubled memory when a
    // long list grows once more.
    std::deque<EventRow> m_rows;
};

CEventView::CEventView(QWidget* parent) : QTableView(parent), m_model(new CEventListModel(this)) {
    setObjectName("eventList");
    setModel(m_model);
    // A report list: whole rows, several of them selectable, never sorted or edited.
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setShowGrid(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setIconSize(QSize(16, 16));
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(std::max(fontMetrics().height(), 16) + 4);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setHighlightSections(false);
}

CEventView::~CEventView() {
    if (g_pEventRowSink == this)
        g_pEventRowSink = nullptr;
    if (g_pEventView == this)
        g_pEventView = nullptr;
}

int CEventView::OnCreate() {
    m_model->Clear();
    const int w = fontMetrics().averageCharWidth();
    for (int column = 0; column < kColumns; ++column)
        setColumnWidth(column, (kWidthChars[column] + 2) * w);
    g_pEventRowSink = this;
    return 0;
}

void CEventView::AddEvent(CHostItem* host, const std::tm& local) {
    if (host == nullptr)
        return;
    EventRow row;
    row.name = host->name;
    row.address = EventListAddressText(*host);
    row.custom_event = host->event_text;
    row.state = host->state;
    row.year = static_cast<int16_t>(local.tm_year);
    row.mon = static_cast<int8_t>(local.tm_mon);
    row.mday = static_cast<int8_t>(local.tm_mday);
    row.wday = static_cast<int8_t>(local.tm_wday);
    row.hour = static_cast<int8_t>(local.tm_hour);
    row.min = static_cast<int8_t>(local.tm_min);
    row.sec = static_cast<int8_t>(local.tm_sec);
    // Appended at the bottom; the list does not scroll to it.
    m_model->Append(std::move(row));
}

void CEventView::OnClearEventList() {
    m_model->Clear();
}

bool CEventView::OnCmdMsg(uint32_t id) {
    if (id != ID_CLEAR_EVENT_LIST)
        return false;
    OnClearEventList();
    return true;
}

int CEventView::RowCount() const {
    return m_model->rowCount(QModelIndex());
}

QString CEventView::CellText(int row, int column) const {
    return m_model->data(m_model->index(row, column), Qt::DisplayRole).toString();
}

int CEventView::RowImage(int row) const {
    const EventRow* event = m_model->Row(row);
    return event != nullptr ? event->Image() : -1;
}

namespace {

// The host-list row of the host an event row names, or -1. A dotted IPv4 text (one
// trailing blank allowed) names the first host entered by that address; an IPv6 text the
// first host entered by that IPv6 address; any other text the first host entered by name
// whose host name is exactly that text.
int FindHostRow(const std::string& cell) {
    if (g_pHostList == nullptr)
        return -1;
    std::string text = cell.substr(0, kCellTextMax);
    std::string dotted = text;
    if (!dotted.empty() && dotted.back() == ' ')
        dotted.pop_back();
    in_addr v4{};
    in6_addr v6{};
    const bool isV4 = inet_pton(AF_INET, dotted.c_str(), &v4) == 1;
    const bool isV6 = !isV4 && inet_pton(AF_INET6, text.c_str(), &v6) == 1;
    const int rows = std::min<int>(g_rowCount, kRowMapSize);
    for (int r = 0; r < rows; ++r) {
        const CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[r]));
        if (host == nullptr)
            continue;
        if (isV4) {
            if (host->name_host == 0 && !host->IsIPv6() && host->LoadAddr4() == v4.s_addr)
                return r;
        } else if (isV6) {
            if (host->name_host == 0 && host->IsIPv6() &&
                std::memcmp(&host->addr6.sin6_addr, &v6, sizeof v6) == 0)
                return r;
        } else if (host->name_host != 0 && host->hostname == text) {
            return r;
        }
    }
    return -1;
}

}  // namespace

bool CEventView::OnLButtonDblClk(const QPoint& point) {
    const QModelIndex hit = indexAt(point);
    const EventRow* event = hit.isValid() ? m_model->Row(hit.row()) : nullptr;
    if (event == nullptr || g_pView == nullptr || g_pView->m_pList == nullptr)
        return false;
    const int row = FindHostRow(event->address);
    CPingListCtrl* list = g_pView->m_pList;
    QAbstractItemModel* hosts = list->model();
    if (row < 0 || hosts == nullptr || row >= hosts->rowCount())
        return false;
    ClearListSelection(list);
    const QModelIndex target = hosts->index(row, 0);
    list->selectionModel()->setCurrentIndex(
        target, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list->scrollTo(target, QAbstractItemView::EnsureVisible);
    list->setFocus(Qt::OtherFocusReason);
    return true;
}

void CEventView::mouseDoubleClickEvent(QMouseEvent* event) {
    OnLButtonDblClk(event->position().toPoint());
    QTableView::mouseDoubleClickEvent(event);
}

void CEventView::OnContextMenu(const QPoint& globalPos) {
    QMenu* menu = LoadPopupMenu(IDR_EVENT_LIST_MENU, this);
    if (menu == nullptr)
        return;
    const uint32_t id = TrackPopupMenu(menu, globalPos);
    delete menu;
    if (id != 0)
        OnCmdMsg(id);
}

void CEventView::contextMenuEvent(QContextMenuEvent* event) {
    OnContextMenu(event->globalPos());
    event->accept();
}

void ClearListSelection(QAbstractItemView* list) {
    if (list == nullptr || list->selectionModel() == nullptr)
        return;
    list->selectionModel()->clearSelection();
    list->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}
