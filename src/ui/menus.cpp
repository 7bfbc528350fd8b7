#include "ui/menus.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "ui/command_table.h"

namespace {

PopupTracker g_tracker = nullptr;

QAction* AddItem(QMenu* menu, uint32_t id, bool tray) {
    if (id == 0)
        return menu->addSeparator();
    const CommandInfo* info = FindCommand(id);
    const char* text = info == nullptr ? "" : (tray ? info->trayText : info->menuText);
    QAction* action = menu->addAction(QString::fromUtf8(text != nullptr ? text : ""));
    action->setData(static_cast<uint>(id));
    if (const char* prompt = CommandPrompt(id))
        action->setStatusTip(PromptText(QString::fromUtf8(prompt)));
    return action;
}

}  // namespace

QString PromptText(const QString& prompt) {
    const int nl = prompt.indexOf('\n');
    return nl < 0 ? prompt : prompt.left(nl);
}

QString TooltipText(const QString& prompt) {
    const int nl = prompt.indexOf('\n');
    return nl < 0 ? QString() : prompt.mid(nl + 1);
}

uint32_t ActionCommand(const QAction* action) {
    if (action == nullptr || action->isSeparator())
        return 0;
    bool ok = false;
    const uint id = action->data().toUInt(&ok);
    return ok ? id : 0;
}

QMenu* LoadPopupMenu(uint32_t resourceId, QWidget* parent) {
    const MenuPopupInfo* popup = ContextMenu(resourceId);
    if (popup == nullptr)
        return nullptr;
    auto* menu = new QMenu(parent);
    const bool tray = resourceId == IDR_TRAY_MENU;
    for (uint32_t id : popup->items)
        AddItem(menu, id, tray);
    return menu;
}

void BuildMainMenu(QMenuBar* bar, const std::function<void(uint32_t)>& onCommand,
                   const std::function<void(QMenu*)>& onShow) {
    for (const MenuPopupInfo& popup : MainMenu()) {
        QMenu* menu = bar->addMenu(QString::fromUtf8(popup.title));
        for (uint32_t id : popup.items) {
            QAction* action = AddItem(menu, id, false);
            if (id != 0)
                QObject::connect(action, &QAction::triggered, menu,
                                 [onCommand, id] { onCommand(id); });
        }
        QObject::connect(menu, &QMenu::aboutToShow, menu, [onShow, menu] { onShow(menu); });
    }
}

uint32_t TrackPopupMenu(QMenu* menu, const QPoint& globalPos) {
    if (g_tracker != nullptr)
        return g_tracker(menu, globalPos);
    return ActionCommand(menu->exec(globalPos));
}

void SetPopupTracker(PopupTracker tracker) {
    g_tracker = tracker;
}

void InitUiResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(velmora);
        return true;
    }();
    (void)done;
}
