#pragma once

#include <cstdint>
#include <ctime>

#include <QTableView>

#include "alerts/alert_dispatch.h"
#include "ui/menus.h"

class CHostItem;
class CEventListModel;
class QAbstractItemView;
class QContextMenuEvent;
class QMouseEvent;
class QPoint;

// The event list: one row per host event, appended at the bottom, never sorted, never
// stored and never limited in number; the rows live until the list is cleared. The alert
// dispatch adds the rows (and writes their EVENT lines itself). The rows are kept in a
// compact table behind a model, so months of events cost little memory and appending stays
// cheap however long the list is. User-interface thread.
class CEventView : public QTableView, public CCmdTarget, public EventRowSink {
    Q_OBJECT
public:
    explicit CEventView(QWidget* parent = nullptr);
    ~CEventView() override;

    // Makes the columns and becomes the list the alert dispatch writes to. Returns 0.
    int OnCreate();
    // Appends the event of `host` shown with the local time `local`: event text, name,
    // event-list address text, date text, and image 0 for state 0 (up), else image 1.
    void AddEvent(CHostItem* host, const std::tm& local) override;
    // Deletes every row; the log file is not touched.
    void OnClearEventList();
    // Command 32788 (Clear Event List).
    bool OnCmdMsg(uint32_t id) override;

    // A double click at `point` (viewport coordinates): selects the event's host in the
    // host list when it is still there. Returns whether a host row was selected.
    bool OnLButtonDblClk(const QPoint& point);
    // Shows menu 164 at `globalPos` and carries out the command chosen.
    void OnContextMenu(const QPoint& globalPos);

    // Number of rows, and the text of a cell (tests and the double click).
    int RowCount() const;
    QString CellText(int row, int column) const;
    // Image index of a row: 0 up, 1 any other state; -1 for no such row.
    int RowImage(int row) const;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    CEventListModel* m_model;
};

// Removes the selected and the focused state from every row of `list`.
void ClearListSelection(QAbstractItemView* list);

// The event list view while it exists.
extern CEventView* g_pEventView;
