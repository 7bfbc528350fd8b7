#pragma once

#include <cstdint>

#include <QTreeWidget>

#include "ui/menus.h"

class CHostItem;

// The event list: one row per host event, newest at the bottom, never stored. It carries
// the command that clears it. User-interface thread.
class CEventView : public QTreeWidget, public CCmdTarget {
    Q_OBJECT
public:
    explicit CEventView(QWidget* parent = nullptr);

    int OnCreate();
    // Appends the event of `host`; returns 0.
    int AddEvent(CHostItem* host);
    // Deletes every row.
    void OnClearEventList();
    // Command 32788.
    bool OnCmdMsg(uint32_t id) override;
};

// The event list view while it exists.
extern CEventView* g_pEventView;
