#pragma once

#include <cstdint>

#include <QWidget>

#include "platform/messages.h"
#include "ui/menus.h"

class CHostItem;
class CPingListCtrl;
class QtMessageTarget;

// The host list view: the window the engine talks to. It holds the host list control,
// registers itself as the host table's notify window, answers the send cycle's begin and
// end, takes replies, ICMP errors, time-outs, send failures and finished lookups, and
// carries the view's commands. Every handler runs on the user-interface thread; worker
// threads reach it only through messageTarget().
class CCorvantisView : public QWidget, public CCmdTarget {
    Q_OBJECT
public:
    explicit CCorvantisView(QWidget* parent = nullptr);
    ~CCorvantisView() override;

    // Makes the view the table's notify window and the list the window of WM_HOST_ADDRESS,
    // with the service stopped. Returns 0.
    int OnCreate();

    // The view's window handle for the worker threads.
    QtMessageTarget* messageTarget() const { return m_target; }
    // Dispatches one engine message to its handler.
    LRESULT WindowProc(uint32_t msg, WPARAM wParam, LPARAM lParam);

    // A send cycle begins: -1 (refused) while the service is stopped, else 0.
    LRESULT OnCycleBegin(WPARAM tick, LPARAM table);
    LRESULT OnCycleEnd(WPARAM tick, LPARAM table);
    // A reply or ICMP error of the host at `hostIndex`: round-trip statistics, the TTL-change
    // event, the row, and a reverse lookup. 0; -1 no such host; -2 the next lookup slot is
    // busy; -3 and -4 a reply that answered before it was asked or after its time-out.
    LRESULT OnReplyReceived(WPARAM hostIndex, LPARAM sequence);
    // The reverse lookup of `slot` finished: its name goes to the host, the slot is freed.
    LRESULT OnLookupDone(WPARAM slot, LPARAM unused);
    // A time-out or send failure of the host at `hostIndex` (lParam): its row is refreshed.
    LRESULT OnHostRowRefresh(WPARAM unused, LPARAM hostIndex);
    // A host given by name has a new address (host record in wParam): handed to the list,
    // which shows it when the record is still in the table.
    LRESULT OnHostAddress(WPARAM host, LPARAM unused);

    // Commands 32771, 32780, 32790, 32776, 32779 and 32803.
    bool OnCmdMsg(uint32_t id) override;
    void OnSetup();
    void OnOpenLog();
    void OnStartService();
    void OnStopService();
    void OnStopSound();
    void OnProperty();
    // Edits the host of the first selected row with the host dialog; saves on OK.
    void OnEditHost();

    // A click on a column header sorts by that column; the end of a column-width drag marks
    // the setup modified (the widths are saved with it). Both return 0.
    int OnHeaderItemClick(int column);
    int OnHeaderEndTrack(int column);

    // Rebuilds every row from the host table.
    void OnInitialUpdate();
    // The once-a-minute work; the timer id is not looked at.
    void OnTimerTick(uint32_t timerId);

    CPingListCtrl* m_pList;
    int32_t m_tableIndex = 0;
    int32_t m_bInCycle = 0;
    uint32_t m_minuteCount = 0;
    // Minute ticks handled (tests).
    uint32_t m_timerTicks = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The host at `index` of the table, or nullptr when a message names no host (any more).
    static CHostItem* HostAt(uintptr_t index);
    // The list row of the first selected row, -1 for none.
    int FirstSelectedRow() const;

    QtMessageTarget* m_target;
    // A column divider is being dragged with the mouse.
    bool m_headerPressed = false;
    int m_trackedColumn = -1;
};

// The one host list view while it exists.
extern CCorvantisView* g_pView;
// Last reverse-lookup slot used.
extern int32_t g_nextLookupSlot;
