#pragma once

#include <cstdint>

#include <QTableView>

class CHostItem;
class HostTableModel;

// The host list control: one row per host of the table, in the order of g_rowToHost.
// This is the plain form the main window needs to run; sorting, moving, editing,
// suspending and the per-row state detection are built on it later. User-interface thread.
class CPingListCtrl : public QTableView {
    Q_OBJECT
public:
    explicit CPingListCtrl(QWidget* parent = nullptr);
    ~CPingListCtrl() override;

    // Rebuilds every row from the host table.
    void RefillList();
    // Refreshes the row of `host`.
    void FillHostRow(CHostItem* host);

    // The list commands the main frame forwards.
    void OnAddIP();
    void OnAddIPRange();
    void OnDelete();
    void MoveSelectedUp();
    void MoveSelectedDown();
    void OnClearStatistics();

    // Width of column `column`, 0 when it does not exist.
    int ColumnWidth(int column) const;

private:
    HostTableModel* m_model;
};
