#pragma once

#include <cstdint>
#include <string>

#include <QPixmap>

#include "platform/messages.h"
#include "ui/ext_list_ctrl.h"
#include "ui/host_table_model.h"

class CHostItem;
class QMenu;
class QMouseEvent;

// The rows selected, ascending, as GetSelectedRows last found them.
constexpr int kSelectedRowsSize = 65536;
extern uint16_t g_selectedRows[kSelectedRowsSize];
extern int g_selectedCount;

// The column ids, titles and default widths of the host list.
extern const int g_hostColumnIds[kHostColumnCount];
extern const char* const g_hostColumnTitles[kHostColumnCount];
extern const int g_hostColumnDefaultWidths[kHostColumnCount];

// The host list control: one row per host, in the order of g_rowToHost. It turns each
// host record into its row, decides the host's state and raises its events, and carries
// the list's commands: sorting, moving, deleting, adding, suspending, resuming and clearing
// the statistics. Keeps the row invariant: for every row r below g_rowCount the host at
// g_rowToHost[r] has row r, and row r shows that host and carries it as item data.
// User-interface thread only.
class CPingListCtrl : public CExtListCtrl {
    Q_OBJECT
public:
    explicit CPingListCtrl(QWidget* parent = nullptr);
    ~CPingListCtrl() override;

    // Writes columns 1 to 7 of the host's row, its loss rate and round-trip text, and, when
    // the state rule gives a new state, the state, the row image and, for a state not yet
    // announced, the host's event (a host announced down is announced up by the rule
    // without its loss-rate step). Called for every engine outcome and after an edit.
    void FillHostRow(CHostItem* host);
    // FillHostRow, then the row's item data, name and image (a host moved to its row).
    void UpdateHostRow(CHostItem* host);
    // Column 0 of the host's row; 1, or 0 when the row does not exist.
    int SetHostNameText(CHostItem* host);
    // Rebuilds every row from the host table, hosts in table order.
    void RefillList();

    // Fills g_selectedRows and g_selectedCount; returns the count.
    int GetSelectedRows();
    // Sorts by `column`, ascending on the first click and reversing on each further one;
    // the selected hosts stay selected. Returns 0.
    int SortByColumn(int column) override;
    // Deletes the hosts of the selected rows (meant for a stopped service). Returns 0, or
    // the selected count when it is 0 or less.
    int DeleteSelected();
    void OnDelete();
    // Moves the first selected row one place down or up.
    void MoveSelectedDown();
    void MoveSelectedUp();
    // The host dialogs; new hosts get their rows at the end.
    void OnAddIP();
    void OnAddIPRange();
    // Clears every host's counters; columns 5 to 7 show "0" until the row's next refresh.
    void OnClearStatistics();
    // Sets or clears the suspended bit of the selected hosts; suspended rows are grey.
    void OnSuspendSelected();
    void OnResumeSelected();
    // WM_HOST_ADDRESS: a host given by name has a new address (host record in wParam;
    // ignored unless the record is still in the table). Returns 0.
    LRESULT OnSetAddressText(WPARAM wParam, LPARAM lParam);
    // Greys Delete while the service runs.
    void PrepareContextMenu(QMenu* menu) override;
    // Add IP, Add IP Range, Delete, Suspend, Resume and Clear Statistics; others go on to
    // the view.
    bool OnCmdMsg(uint32_t id) override;
    // A double click edits the first selected host.
    void OnLButtonDblClk();

    // A row drag: OnBeginDrag takes the current row and its picture (m_bDragging 1 when
    // it has one); OnEndDrag drops them. Where the row is dropped is never used: dragging
    // moves nothing. Returns 0.
    int OnBeginDrag();
    void OnEndDrag();

    // Width of column `column`, 0 when hidden or out of range.
    int ColumnWidth(int column) const;

    HostTableModel* Model() const { return m_model; }

    // Row where the current drag started; its picture while dragging; 1 while dragging.
    int m_nDragItem = -1;
    QPixmap m_pDragImage;
    int m_bDragging = 0;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;

private:
    void MoveSelected(bool down);
    void SetSelectedSuspended(bool suspended);
    // Selects `rows` (ascending) and gives the last of them the focus.
    void SelectRows(const std::vector<int32_t>& rows);
    // Appends a row for each host from table index `first` on, column 1 showing the
    // address alone.
    void AppendHostRows(uint32_t first);

    HostTableModel* m_model;
    int m_columnWidths[kHostColumnCount];
    // Reused for every cell text, so refreshing a row allocates nothing once warm.
    std::string m_text;
};
