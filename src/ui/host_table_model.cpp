#include "ui/host_table_model.h"

#include <algorithm>
#include <array>
#include <utility>

#include <QBitmap>
#include <QColor>
#include <QImage>
#include <QMimeData>
#include <QPixmap>

#include "engine/host_list.h"
#include "ui/dlg_setup.h"
#include "ui/menus.h"

namespace {

constexpr int kStateImageCount = 5;
constexpr int kStateImageSize = 16;
// The bitmap's mask colour: pixels of it are transparent.
constexpr QRgb kStateMaskColour = 0xFF646464;

const QColor kSuspendedText(128, 128, 128);
const QColor kNormalText(0, 0, 0);

const std::string kNoText;

std::array<QPixmap, kStateImageCount> LoadStateImages() {
    InitUiResources();
    std::array<QPixmap, kStateImageCount> images;
    const QImage strip(QStringLiteral(":/bitmaps/136.bmp"));
    for (int i = 0; i < kStateImageCount; ++i) {
        if (strip.isNull())
            break;
        QPixmap image = QPixmap::fromImage(
            strip.copy(i * kStateImageSize, 0, kStateImageSize, kStateImageSize));
        image.setMask(image.createMaskFromColor(QColor::fromRgb(kStateMaskColour)));
        images[static_cast<size_t>(i)] = image;
    }
    return images;
}

// The host shown in `row` when the row map and table still agree on one. Rows are never
// painted from their item data: while a loader has emptied the table and not yet rebuilt
// the list, the item data points at destroyed records.
CHostItem* LiveHostOfRow(int row) {
    if (g_pHostList == nullptr || row < 0 || row >= g_rowCount)
        return nullptr;
    return g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[row]));
}

}  // namespace

std::vector<std::pair<int32_t, int32_t>> RowRuns(const std::vector<int32_t>& rows) {
    std::vector<std::pair<int32_t, int32_t>> runs;
    for (int32_t row : rows) {
        if (!runs.empty() && row <= runs.back().second)
            continue;
        if (!runs.empty() && row == runs.back().second + 1)
            runs.back().second = row;
        else
            runs.emplace_back(row, row);
    }
    return runs;
}

HostTableModel::HostTableModel(const char* const* titles, QObject* parent)
    : QAbstractTableModel(parent), m_titles(titles) {
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kRepaintMs);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { FlushChanges(); });
}

HostTableModel::~HostTableModel() = default;

int HostTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Rows();
}

int HostTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kHostColumnCount;
}

QVariant HostTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || !HasRow(index.row()) || index.column() < 0 ||
        index.column() >= kHostColumnCount)
        return {};
    const CRow& row = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return SetupTextToQt(row.text[static_cast<size_t>(index.column())]);
        case Qt::DecorationRole:
            if (index.column() == 0)
                return StateImage(row.image);
            return {};
        case Qt::ForegroundRole: {
            const CHostItem* host = LiveHostOfRow(index.row());
            const bool suspended =
                host != nullptr && (host->advance.load() & kAdvanceSuspended) != 0;
            return suspended ? kSuspendedText : kNormalText;
        }
        default:
            return {};
    }
}

QVariant HostTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kHostColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromUtf8(m_titles[section]);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags HostTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList HostTableModel::mimeTypes() const {
    return {QString::fromLatin1(kRowMimeType)};
}

QMimeData* HostTableModel::mimeData(const QModelIndexList& indexes) const {
    auto* mime = new QMimeData;
    const int row = indexes.isEmpty() ? -1 : indexes.first().row();
    mime->setData(QString::fromLatin1(kRowMimeType), QByteArray::number(row));
    return mime;
}

bool HostTableModel::SetCell(int row, int column, const std::string& text) {
    if (!HasRow(row) || column < 0 || column >= kHostColumnCount)
        return false;
    std::string& cell = m_rows[static_cast<size_t>(row)].text[static_cast<size_t>(column)];
    if (cell != text) {
        cell = text;
        MarkDirty(row);
    }
    return true;
}

bool HostTableModel::SetImage(int row, int32_t image) {
    if (!HasRow(row))
        return false;
    int32_t& current = m_rows[static_cast<size_t>(row)].image;
    if (current != image) {
        current = image;
        MarkDirty(row);
    }
    return true;
}

bool HostTableModel::SetItemData(int row, CHostItem* host) {
    if (!HasRow(row))
        return false;
    m_rows[static_cast<size_t>(row)].item = host;
    return true;
}

const std::string& HostTableModel::Cell(int row, int column) const {
    if (!HasRow(row) || column < 0 || column >= kHostColumnCount)
        return kNoText;
    return m_rows[static_cast<size_t>(row)].text[static_cast<size_t>(column)];
}

int32_t HostTableModel::Image(int row) const {
    return HasRow(row) ? m_rows[static_cast<size_t>(row)].image : -1;
}

CHostItem* HostTableModel::ItemData(int row) const {
    return HasRow(row) ? m_rows[static_cast<size_t>(row)].item : nullptr;
}

void HostTableModel::AppendRows(std::vector<CRow> rows) {
    if (rows.empty())
        return;
    const int first = Rows();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(rows.size()) - 1);
    m_rows.insert(m_rows.end(), std::make_move_iterator(rows.begin()),
                  std::make_move_iterator(rows.end()));
    m_dirtyFlag.resize(m_rows.size(), 0);
    endInsertRows();
}

void HostTableModel::ResetRows(std::vector<CRow> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    DropDirty();
    m_dirtyFlag.assign(m_rows.size(), 0);
    endResetModel();
}

void HostTableModel::RemoveRows(const std::vector<int32_t>& rows) {
    // Few runs of rows are told as they are; many scattered rows as one reset, so that
    // removing tens of thousands of rows stays linear in the view as well.
    constexpr size_t kMaxRemovalSignals = 64;
    std::vector<int32_t> existing;
    existing.reserve(rows.size());
    for (int32_t row : rows) {
        if (HasRow(row))
            existing.push_back(row);
    }
    const std::vector<std::pair<int32_t, int32_t>> runs = RowRuns(existing);
    if (runs.empty())
        return;
    DropDirty();
    if (runs.size() <= kMaxRemovalSignals) {
        for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
            beginRemoveRows(QModelIndex(), run->first, run->second);
            m_rows.erase(m_rows.begin() + run->first, m_rows.begin() + run->second + 1);
            endRemoveRows();
        }
    } else {
        beginResetModel();
        size_t out = 0;
        size_t next = 0;
        for (size_t row = 0; row < m_rows.size(); ++row) {
            if (next < runs.size() && static_cast<int32_t>(row) >= runs[next].first) {
                if (static_cast<int32_t>(row) == runs[next].second)
                    ++next;
                continue;
            }
            if (out != row)
                m_rows[out] = std::move(m_rows[row]);
            ++out;
        }
        m_rows.resize(out);
        endResetModel();
    }
    m_dirtyFlag.assign(m_rows.size(), 0);
}

bool HostTableModel::PermuteRows(const std::vector<int32_t>& newRowOfOldRow) {
    const size_t count = m_rows.size();
    if (newRowOfOldRow.size() != count)
        return false;
    std::vector<uint8_t> taken(count, 0);
    for (int32_t target : newRowOfOldRow) {
        if (target < 0 || static_cast<size_t>(target) >= count || taken[target] != 0)
            return false;
        taken[static_cast<size_t>(target)] = 1;
    }
    emit layoutAboutToBeChanged();
    std::vector<CRow> moved(count);
    for (size_t old = 0; old < count; ++old)
        moved[static_cast<size_t>(newRowOfOldRow[old])] = std::move(m_rows[old]);
    m_rows = std::move(moved);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before) {
        if (index.isValid() && static_cast<size_t>(index.row()) < count)
            after.append(
                this->index(newRowOfOldRow[static_cast<size_t>(index.row())], index.column()));
        else
            after.append(QModelIndex());
    }
    changePersistentIndexList(before, after);
    DropDirty();
    emit layoutChanged();
    return true;
}

bool HostTableModel::SwapRows(int a, int b) {
    if (!HasRow(a) || !HasRow(b))
        return false;
    if (a != b) {
        std::swap(m_rows[static_cast<size_t>(a)], m_rows[static_cast<size_t>(b)]);
        MarkDirty(a);
        MarkDirty(b);
    }
    return true;
}

void HostTableModel::RepaintColours(int first, int last) {
    first = std::max(first, 0);
    last = std::min(last, Rows() - 1);
    if (first <= last)
        emit dataChanged(index(first, 0), index(last, kHostColumnCount - 1), {Qt::ForegroundRole});
}

void HostTableModel::FlushChanges() {
    m_flushTimer.stop();
    if (m_dirtyRows.empty())
        return;
    std::vector<int32_t> rows;
    rows.swap(m_dirtyRows);
    for (int32_t row : rows)
        m_dirtyFlag[static_cast<size_t>(row)] = 0;
    const int last = kHostColumnCount - 1;
    if (rows.size() * 2 > m_rows.size()) {
        emit dataChanged(index(0, 0), index(Rows() - 1, last));
        return;
    }
    std::sort(rows.begin(), rows.end());
    for (const auto& [first, end] : RowRuns(rows))
        emit dataChanged(index(first, 0), index(end, last));
}

QPixmap HostTableModel::StateImage(int32_t state) {
    // Never destroyed: a pixmap must not outlive the application object, and a static
    // one would be destroyed after it.
    static const auto* images = new std::array<QPixmap, kStateImageCount>(LoadStateImages());
    if (state < 0 || state >= kStateImageCount)
        return QPixmap();
    return (*images)[static_cast<size_t>(state)];
}

void HostTableModel::MarkDirty(int row) {
    uint8_t& flag = m_dirtyFlag[static_cast<size_t>(row)];
    if (flag != 0)
        return;
    flag = 1;
    m_dirtyRows.push_back(row);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void HostTableModel::DropDirty() {
    for (int32_t row : m_dirtyRows) {
        if (static_cast<size_t>(row) < m_dirtyFlag.size())
            m_dirtyFlag[static_cast<size_t>(row)] = 0;
    }
    m_dirtyRows.clear();
    m_flushTimer.stop();
}
