#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <QAbstractTableModel>
#include <QTimer>

class CHostItem;

constexpr int kHostColumnCount = 8;

// The runs of consecutive rows in `rows` (ascending), as first and last row; duplicates and
// rows that do not ascend are skipped.
std::vector<std::pair<int32_t, int32_t>> RowRuns(const std::vector<int32_t>& rows);

// The rows of the host list: per row the eight cell texts, the state image and the host
// record the row carries (its item data), exactly as the list control last wrote them.
// Cells are kept as byte strings and turned into QStrings only when painted. Writes only
// note the changed rows; the view hears of them on a short timer, as merged spans of rows
// (one signal for the whole table when most rows changed), so thousands of engine
// messages a second cost one repaint. User-interface thread.
class HostTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct CRow {
        std::array<std::string, kHostColumnCount> text;
        int32_t image = 1;
        CHostItem* item = nullptr;
    };

    // `titles` holds one title per column and must outlive the model.
    HostTableModel(const char* const* titles, QObject* parent);
    ~HostTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;

    int Rows() const { return static_cast<int>(m_rows.size()); }
    bool HasRow(int row) const { return row >= 0 && row < Rows(); }

    // Cell writers; false for a row or column that does not exist (nothing changes).
    bool SetCell(int row, int column, const std::string& text);
    bool SetImage(int row, int32_t image);
    bool SetItemData(int row, CHostItem* host);

    // Readers; empty text, image -1 and nullptr for a row that does not exist.
    const std::string& Cell(int row, int column) const;
    int32_t Image(int row) const;
    CHostItem* ItemData(int row) const;

    // Appends rows at the end.
    void AppendRows(std::vector<CRow> rows);
    // Replaces every row.
    void ResetRows(std::vector<CRow> rows);
    // Removes `rows` (ascending, numbered before the removal) in one pass.
    void RemoveRows(const std::vector<int32_t>& rows);
    // Moves every row `old` to `newRowOfOldRow[old]` (a permutation of all rows); selection
    // and current row follow their rows. False, changing nothing, when it is not one.
    bool PermuteRows(const std::vector<int32_t>& newRowOfOldRow);
    // Exchanges two rows' cells, image and item data.
    bool SwapRows(int a, int b);

    // Has the rows from `first` to `last` painted again with their text colour.
    void RepaintColours(int first, int last);
    // Tells the view now of every changed row (the timer does it otherwise).
    void FlushChanges();
    // Rows changed since the last flush (tests).
    size_t PendingRows() const { return m_dirtyRows.size(); }

    // The state image of `state`, a null pixmap for a value without one.
    static QPixmap StateImage(int32_t state);

    // MIME type of a dragged row: ours alone, so no other window takes the drop.
    static constexpr const char* kRowMimeType = "application/x-velmora-host-row";
    // How long a change waits for the rows changed after it.
    static constexpr int kRepaintMs = 100;

private:
    void MarkDirty(int row);
    void DropDirty();

    const char* const* m_titles;
    std::vector<CRow> m_rows;
    std::vector<uint8_t> m_dirtyFlag;
    std::vector<int32_t> m_dirtyRows;
    QTimer m_flushTimer;
};
