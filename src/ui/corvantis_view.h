#pragma once

#include <cstdint>

#include <QWidget>

#include "platform/messages.h"
#include "ui/menus.h"

class CPingListCtrl;
class QtMessageTarget;

// The host list view: the window the engine talks to. It registers itself as the host
// table's notify window, answers the send cycle's begin and end, takes replies, time-outs,
// send failures and finished lookups, and carries the view's commands. Every handler runs
// on the user-interface thread; worker threads reach it only through messageTarget().
class CCorvantisView : public QWidget, public CCmdTarget {
    Q_OBJECT
public:
    explicit CCorvantisView(QWidget* parent = nullptr);
    ~CCorvantisView() override;

    // Creates the list and makes the view the table's notify window, service stopped.
    int OnCreate();

    // The view's window handle for the worker threads.
    QtMessageTarget* messageTarget() const { return m_target; }
    // Dispatches one engine message to its handler.
    LRESULT WindowProc(uint32_t msg, WPARAM wParam, LPARAM lParam);

    LRESULT OnCycleBegin(WPARAM tick, LPARAM table);
    LRESULT OnCycleEnd(WPARAM tick, LPARAM table);
    LRESULT OnReplyReceived(WPARAM hostIndex, LPARAM sequence);
    LRESULT OnLookupDone(WPARAM slot, LPARAM unused);
    LRESULT OnHostRowRefresh(WPARAM unused, LPARAM hostIndex);

    // Commands 32771, 32780, 32790, 32776, 32779 and 32803.
    bool OnCmdMsg(uint32_t id) override;
    void OnSetup();
    void OnOpenLog();
    void OnStartService();
    void OnStopService();
    void OnStopSound();
    void OnProperty();
    void OnEditHost();

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

private:
    QtMessageTarget* m_target;
};

// The one host list view while it exists.
extern CCorvantisView* g_pView;
// Last reverse-lookup slot used.
extern int32_t g_nextLookupSlot;
