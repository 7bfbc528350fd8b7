#pragma once

#include <cstdint>
#include <string>

#include <QTableView>

#include "ui/menus.h"

class QContextMenuEvent;
class QMenu;
class QPoint;
class QShowEvent;

constexpr int kExtListMaxColumns = 64;
// Longest text of one layout key, as read and as written.
constexpr size_t kLayoutValueSize = 522;
// The width a hidden column gets when it is shown and nothing better is known.
constexpr int kDefaultKeepWidth = 50;
// Stored widths above this are taken for corrupt values.
constexpr int kMaxStoredColumnWidth = 0x7FFF;
// Keys of the stored column layout in the system profile.
constexpr const char* kLayoutWidthKey = "Width";
constexpr const char* kLayoutKeepWidthKey = "KeepWidth";
constexpr const char* kLayoutIndexKey = "Index";

// A table view whose columns the owner describes in tables: a menu over the header hides
// and shows columns (a hidden column keeps the width it gets back), the header can be
// dragged into another order, and widths, restore widths and order are kept in the system
// profile (section: the application's name) from one run to the next. Elsewhere in the
// control the context menu shows the owner's item menu. The derived class owns the model,
// whose horizontal headerData must give m_ppszColumnTitle. User-interface thread.
//
// Life: the derived constructor fills the column description and sets its model; the owner
// calls OnCreate (reads the stored layout) and then InsertColumns (applies it). OnDestroy
// writes the layout; the destructor runs it if nobody did, while the model still exists.
class CExtListCtrl : public QTableView, public CCmdTarget {
    Q_OBJECT
public:
    explicit CExtListCtrl(QWidget* parent = nullptr);
    ~CExtListCtrl() override;

    // Lets the derived class enable, grey or check items of the item menu before it shows.
    virtual void PrepareContextMenu(QMenu* menu);
    // Gives the columns their widths and order and makes the header draggable, rows
    // selected whole. Runs OnCreate first when the owner has not.
    virtual void InsertColumns();
    // Sorts the rows by `column`; the base does nothing and returns 0.
    virtual int SortByColumn(int column);
    // The item menu's commands reach the control first; the base handles none. Commands it
    // does not handle go on to the first parent window that carries out commands.
    bool OnCmdMsg(uint32_t id) override;

    // Reads the stored layout when the layout key is set. Returns 0.
    int OnCreate();
    // Writes the layout when the layout key is set and the header has columns. Once.
    void OnDestroy();
    // Writes what changed of the layout since it was read or written, until OnDestroy ran,
    // so that an end the program does not see keeps it too.
    void SaveChangedLayout();
    // The column menu over the header, the item menu elsewhere. `globalPos` is where the
    // menu opens; `fromKeyboard` is true when no mouse point came with the request.
    void OnContextMenu(const QPoint& globalPos, bool fromKeyboard = false);
    // Hides the shown column with that command id or shows the hidden one; other ids are
    // ignored.
    void OnToggleColumn(uint32_t id);

    // The profile section of the layout: the application's name.
    static std::string LayoutSection();

    // Per column sort direction, toggled by the derived class's SortByColumn.
    uint8_t m_bSortAscending[kExtListMaxColumns] = {};
    // Non-empty: the layout is stored and the context menu shown.
    char m_szLayoutKey[20] = {};
    int m_nColumns = 0;
    // The owner's tables, one entry per column. A width entry is 0 exactly for a hidden
    // column.
    int* m_pnColumnWidth = nullptr;
    const int* m_pnColumnID = nullptr;
    const char* const* m_ppszColumnTitle = nullptr;
    // Menu resource of the item menu; 0 = none.
    uint32_t m_nItemMenuID = 0;
    int m_nKeepWidth[kExtListMaxColumns];
    // Column index per display position.
    int m_nColumnOrder[kExtListMaxColumns];

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    // The first show inserts the columns when the owner has not, so the stored layout is
    // never written without having been read.
    void showEvent(QShowEvent* event) override;

private:
    // Reads the header's display order into m_nColumnOrder; false when it has too few
    // columns.
    bool ReadColumnOrder();
    void ApplyColumnOrder();
    void SetColumnShown(int column, int width);
    void RouteCommand(uint32_t id);
    // Writes the layout's keys; with `changedOnly`, those whose text differs from the stored.
    void WriteLayout(bool changedOnly);

    // The owner's width table as it stood before the layout was read: what a corrupt
    // stored width falls back to.
    int m_nDefaultWidth[kExtListMaxColumns] = {};
    // The texts of "Width", "KeepWidth" and "Index" as last read or written.
    std::string m_storedLayout[3];
    bool m_bCreated = false;
    bool m_bInserted = false;
    bool m_bDestroyed = false;
};
