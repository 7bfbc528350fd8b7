#pragma once

#include <cstdint>
#include <functional>

#include <QString>

class QAction;
class QMenu;
class QMenuBar;
class QPoint;
class QWidget;

// Something that carries out commands: a window, a view or the application object.
// User-interface thread.
class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;
    // Carries out command `id` when this target has a handler for it; false otherwise.
    virtual bool OnCmdMsg(uint32_t id) = 0;
};

// The status prompt of a "prompt\ntooltip" text (all of it when there is no newline).
QString PromptText(const QString& prompt);
// The tooltip of a "prompt\ntooltip" text (empty when there is no newline).
QString TooltipText(const QString& prompt);

// The command id an action of our menus carries, 0 for none.
uint32_t ActionCommand(const QAction* action);

// Builds the popup of menu resource `resourceId` (134, 164, 165) with its items' texts,
// ids and prompts; nullptr for an unknown resource. The caller owns the menu.
QMenu* LoadPopupMenu(uint32_t resourceId, QWidget* parent);

// Fills the menu bar with the main menu (resource 128); `onCommand` gets the id of a
// chosen item and `onShow` is called as a popup opens (the update rules run there).
void BuildMainMenu(QMenuBar* bar, const std::function<void(uint32_t)>& onCommand,
                   const std::function<void(QMenu*)>& onShow);

// Shows a popup at `globalPos` and returns the chosen item's command id, 0 for none. Tests
// replace the tracker so that no menu blocks them; nullptr restores the real one.
using PopupTracker = uint32_t (*)(QMenu* menu, const QPoint& globalPos);
uint32_t TrackPopupMenu(QMenu* menu, const QPoint& globalPos);
void SetPopupTracker(PopupTracker tracker);

// Registers the bitmaps and icons compiled into the library; safe to call repeatedly.
void InitUiResources();
