#include "ui/ping_list_ctrl.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QTimer>

#include <arpa/inet.h>

#include "engine/host_list.h"

namespace {

constexpr int kColumns = 8;
const char* const kTitles[kColumns] = {"Name",    "IP Address", "Sent", "Received",
                                       "Current", "Min",        "Max",  "Average"};

// How often changed rows are repainted: engine messages only mark rows.
constexpr int kRepaintMs = 250;

}  // namespace

// The rows shown: g_rowToHost over the host table.
class HostTableModel : public QAbstractTableModel {
public:
    explicit HostTableModel(QObject* parent) : QAbstractTableModel(parent) {
        m_timer.setInterval(kRepaintMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Flush(); });
        m_timer.start();
    }

    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : m_rows; }
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
        if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_rows ||
            g_pHostList == nullptr)
            return {};
        CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[index.row()]));
        if (host == nullptr)
            return {};
        switch (index.column()) {
            case 0:
                return QString::fromUtf8(host->name.c_str());
            case 1:
                return AddressText(*host);
            case 2:
                return host->sent_count.load();
            case 3:
                return host->recv_count.load();
            case 4:
                return host->recv_count.load() != 0 ? QVariant(host->rtt_cur) : QVariant();
            case 5:
                return host->rtt_min != 0xFFFFFFFF ? QVariant(host->rtt_min) : QVariant();
            case 6:
                return host->recv_count.load() != 0 ? QVariant(host->rtt_max) : QVariant();
            case 7:
                return host->recv_count.load() != 0 ? QVariant(host->rtt_avg) : QVariant();
            default:
                return {};
        }
    }

    // The number of rows follows g_rowCount at once.
    void Reset() {
        beginResetModel();
        m_rows = g_pHostList != nullptr ? g_rowCount : 0;
        endResetModel();
        m_dirty = false;
    }
    void MarkDirty() { m_dirty = true; }

private:
    static QString AddressText(const CHostItem& host) {
        char text[64] = {};
        if (host.IsIPv6())
            inet_ntop(AF_INET6, &host.addr6.sin6_addr, text, sizeof(text));
        else
            inet_ntop(AF_INET, &host.addr4.sin_addr, text, sizeof(text));
        return QString::fromLatin1(text);
    }

    void Flush() {
        const int rows = g_pHostList != nullptr ? g_rowCount : 0;
        if (rows != m_rows) {
            Reset();
            return;
        }
        if (!m_dirty || m_rows == 0)
            return;
        m_dirty = false;
        emit dataChanged(index(0, 0), index(m_rows - 1, kColumns - 1), {Qt::DisplayRole});
    }

    int m_rows = 0;
    bool m_dirty = false;
    QTimer m_timer;
};

CPingListCtrl::CPingListCtrl(QWidget* parent)
    : QTableView(parent), m_model(new HostTableModel(this)) {
    setObjectName("hostList");
    setModel(m_model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setStretchLastSection(true);
    setColumnWidth(0, 180);
    setColumnWidth(1, 160);
}

CPingListCtrl::~CPingListCtrl() = default;

void CPingListCtrl::RefillList() {
    m_model->Reset();
}

void CPingListCtrl::FillHostRow(CHostItem* /*host*/) {
    m_model->MarkDirty();
}

void CPingListCtrl::OnAddIP() {}
void CPingListCtrl::OnAddIPRange() {}
void CPingListCtrl::OnDelete() {}
void CPingListCtrl::MoveSelectedUp() {}
void CPingListCtrl::MoveSelectedDown() {}
void CPingListCtrl::OnClearStatistics() {}

int CPingListCtrl::ColumnWidth(int column) const {
    if (column < 0 || column >= kColumns)
        return 0;
    return columnWidth(column);
}
