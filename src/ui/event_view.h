#pragma once

#include <cstdint>
#include <ctime>

#include <QTreeWidget>

#include "alerts/alert_dispatch.h"
#include "ui/menus.h"

class CHostItem;

// The event list: one row per host event, newest at the bottom, never stored. The alert
// dispatch adds its rows; it carries the command that clears it. User-interface thread.
class CEventView : public QTreeWidget, public CCmdTarget, public EventRowSink {
    Q_OBJECT
public:
    explicit CEventView(QWidget* parent = nullptr);
    ~CEventView() override;

    // Makes the columns and becomes the list the alert dispatch writes to.
    int OnCreate();
    // Appends the event of `host` with the time `local`.
    void AddEvent(CHostItem* host, const std::tm& local) override;
    // Deletes every row.
    void OnClearEventList();
    // Command 32788.
    bool OnCmdMsg(uint32_t id) override;
};

// The event list view while it exists.
extern CEventView* g_pEventView;
