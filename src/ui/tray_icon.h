#pragma once

#include <cstdint>
#include <string>

#include <QIcon>
#include <QObject>

#include "platform/messages.h"

class MessageTarget;
class QMenu;
class QSystemTrayIcon;

// The program's icon in the notification area, so it stays reachable while its window is
// hidden. A right click shows the tray menu (resource = the icon's id), a double click runs
// the menu's first command; both reach the notification window as messages. A D-Bus tray
// (StatusNotifierItem) gets the menu as the icon's own, and a left click runs the first
// command, as that protocol has no double click. User-interface thread.
class CTrayIcon : public QObject {
    Q_OBJECT
public:
    // The icon's record: what the platform keeps of it.
    struct NotifyIconData {
        MessageTarget* hWnd = nullptr;  // receives the callbacks
        uint32_t uID = 0;               // the icon's id and the tray menu's resource
        uint32_t uFlags = 0;            // recomputed before every change
        uint32_t uCallbackMessage = 0;  // WM_TRAY_NOTIFY
        bool hIcon = false;  // true while the icon is added (shown, or waiting for a tray)
        std::string szTip;   // at most 127 bytes
    };
    static constexpr uint32_t NIF_MESSAGE = 0x1;
    static constexpr uint32_t NIF_ICON = 0x2;
    static constexpr uint32_t NIF_TIP = 0x4;

    explicit CTrayIcon(uint32_t id);
    ~CTrayIcon() override;  // removes the icon

    void SetNotificationWnd(MessageTarget* wnd, uint32_t callbackMessage);
    // Adds the icon (or changes it in place) with the tip of string `stringId` (of `iconId`
    // when 0); icon id 0 or a missing icon removes it. Returns whether a tray took it; an
    // icon no tray took is kept and appears once one starts. True without a change when
    // there is nothing to remove.
    bool SetIcon(uint32_t iconId, uint32_t stringId);
    // The callback: a right button release shows the menu, a double click sends the first
    // command; 1 when handled, else 0.
    LRESULT OnTrayNotification(WPARAM wParam, LPARAM lParam);

    const NotifyIconData& nid() const { return m_nid; }
    // Whether the icon is added and a notification area is there to show it.
    bool visible() const { return m_nid.hIcon && TrayAvailable(); }
    // The number of times the icon was added, changed and removed (tests).
    int addCount() const { return m_adds; }
    int modifyCount() const { return m_modifies; }

    // Whether the desktop has a notification area; tests replace the probe. nullptr
    // restores the real one.
    using AvailabilityProbe = bool (*)();
    static void SetAvailabilityProbe(AvailabilityProbe probe);
    static bool TrayAvailable();

    // The icon of resource `iconId`, null when there is none.
    static QIcon LoadIconResource(uint32_t iconId);

private:
    enum class Op { kAdd, kModify, kDelete };
    bool NotifyIcon(Op op, const QIcon& icon);
    // Hands the tray menu to a D-Bus tray as the icon's own menu.
    void ExportMenu();
    // Sets the default item, then lets the notification window set the rest (WM_TRAY_MENU).
    void PrepareMenu(QMenu* menu);

    NotifyIconData m_nid;
    QSystemTrayIcon* m_icon = nullptr;
    QMenu* m_menu = nullptr;  // the menu a D-Bus tray shows
    int m_adds = 0;
    int m_modifies = 0;
};
