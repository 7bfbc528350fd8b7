#include "ui/tray_icon.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QMenu>
#include <QSystemTrayIcon>

#include "platform/message_target.h"
#include "ui/command_table.h"
#include "ui/menus.h"
#include "ui/window_messages.h"

namespace {

CTrayIcon::AvailabilityProbe g_probe = nullptr;

constexpr size_t kMaxTip = 127;

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

// Whether a D-Bus tray's watcher is on the session bus with a host that shows the items. A
// desktop may keep its watcher in a service of its own that outlives the panel, the host.
bool WatcherHasHost() {
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcher, "/StatusNotifierWatcher",
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
    get.setAutoStartService(false);  // asks, never starts a watcher
    // The GUI thread asks this once a second while the window is hidden: a watcher that
    // hangs must not freeze the window for D-Bus's default 25 s each time.
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 1000);
    return reply.type() == QDBusMessage::ReplyMessage &&
           reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
}

// Qt chooses the icon's protocol once per process, at its first look for a tray: D-Bus
// (StatusNotifierItem) when a watcher with a host is on the session bus, else XEmbed. This
// looks at that same moment, so that both agree for the whole run.
bool DBusTray() {
    static const bool dbus = WatcherHasHost();
    return dbus;
}

std::string LoadTip(uint32_t id) {
    const char* text = StringResource(id);
    std::string tip = text != nullptr ? text : "";
    if (tip.size() > kMaxTip)
        tip.resize(kMaxTip);
    return tip;
}

}  // namespace

CTrayIcon::CTrayIcon(uint32_t id) {
    m_nid.uID = id;
    m_nid.szTip = LoadTip(id);
}

CTrayIcon::~CTrayIcon() {
    if (m_nid.hIcon) {
        m_nid.uFlags = m_nid.szTip.empty() ? 0 : NIF_TIP;
        NotifyIcon(Op::kDelete, QIcon());
    }
    delete m_icon;
    delete m_menu;
}

void CTrayIcon::SetAvailabilityProbe(AvailabilityProbe probe) {
    g_probe = probe;
}

bool CTrayIcon::TrayAvailable() {
    const bool dbus = DBusTray();  // before Qt's own first look
    if (g_probe != nullptr)
        return g_probe();
    // On a D-Bus tray Qt's look opens a bus connection of its own each time.
    return dbus ? WatcherHasHost() : QSystemTrayIcon::isSystemTrayAvailable();
}

QIcon CTrayIcon::LoadIconResource(uint32_t iconId) {
    if (iconId != IDR_MAINFRAME)
        return QIcon();
    InitUiResources();
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addFile(QString(":/icons/128_%1.png").arg(size), QSize(size, size));
    return icon;
}

void CTrayIcon::SetNotificationWnd(MessageTarget* wnd, uint32_t callbackMessage) {
    m_nid.hWnd = wnd;
    m_nid.uCallbackMessage = callbackMessage;
}

bool CTrayIcon::SetIcon(uint32_t iconId, uint32_t stringId) {
    QIcon icon;
    if (iconId != 0) {
        m_nid.szTip = LoadTip(stringId != 0 ? stringId : iconId);
        icon = LoadIconResource(iconId);
    }
    m_nid.uFlags = 0;
    Op op;
    if (!icon.isNull()) {
        m_nid.uFlags = NIF_ICON;
        op = m_nid.hIcon ? Op::kModify : Op::kAdd;
    } else {
        if (!m_nid.hIcon)
            return true;
        op = Op::kDelete;
    }
    if (!m_nid.szTip.empty())
        m_nid.uFlags |= NIF_TIP;
    if (m_nid.uCallbackMessage != 0 && m_nid.hWnd != nullptr)
        m_nid.uFlags |= NIF_MESSAGE;
    const bool ok = NotifyIcon(op, icon);
    m_nid.hIcon = op != Op::kDelete;
    return ok;
}

bool CTrayIcon::NotifyIcon(Op op, const QIcon& icon) {
    if (op == Op::kDelete) {
        if (m_icon != nullptr)
            m_icon->hide();
        return true;
    }
    // Without a tray the icon is added all the same: Qt shows it once a tray starts.
    const bool taken = TrayAvailable();
    if (m_icon == nullptr) {
        m_icon = new QSystemTrayIcon(this);
        connect(m_icon, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if ((m_nid.uFlags & NIF_MESSAGE) == 0 || m_nid.hWnd == nullptr)
                        return;
                    uint32_t mouse = 0;
                    switch (reason) {
                        case QSystemTrayIcon::Context:
                            mouse = WM_RBUTTONUP;
                            break;
                        case QSystemTrayIcon::DoubleClick:
                            mouse = WM_LBUTTONDBLCLK;
                            break;
                        case QSystemTrayIcon::Trigger:
                            // A D-Bus tray's click (Activate): its protocol has no double one.
                            mouse = DBusTray() ? WM_LBUTTONDBLCLK : WM_LBUTTONUP;
                            break;
                        default:
                            return;
                    }
                    m_nid.hWnd->Post(m_nid.uCallbackMessage, m_nid.uID, mouse);
                });
        if (DBusTray())
            ExportMenu();
    }
    m_icon->setIcon(icon);
    m_icon->setToolTip((m_nid.uFlags & NIF_TIP) != 0 ? QString::fromStdString(m_nid.szTip)
                                                     : QString());
    if (op == Op::kAdd) {
        m_icon->show();
        ++m_adds;
    } else {
        ++m_modifies;
    }
    return taken;
}

void CTrayIcon::ExportMenu() {
    // The host shows the menu itself: it is prepared each time before it shows, as for a
    // right click, and the chosen command reaches the notification window alike.
    m_menu = LoadPopupMenu(m_nid.uID, nullptr);
    if (m_menu == nullptr || m_menu->actions().isEmpty())
        return;
    connect(m_menu, &QMenu::aboutToShow, this, [this] { PrepareMenu(m_menu); });
    connect(m_menu, &QMenu::triggered, this, [this](QAction* action) {
        if (m_nid.hWnd != nullptr && ActionCommand(action) != 0)
            m_nid.hWnd->Post(WM_COMMAND, ActionCommand(action), 0);
    });
    m_icon->setContextMenu(m_menu);
}

void CTrayIcon::PrepareMenu(QMenu* menu) {
    menu->setDefaultAction(menu->actions().at(0));
    if (m_nid.hWnd != nullptr)
        m_nid.hWnd->Send(WM_TRAY_MENU, reinterpret_cast<WPARAM>(menu), WM_RBUTTONUP);
}

LRESULT CTrayIcon::OnTrayNotification(WPARAM wParam, LPARAM lParam) {
    if (wParam != m_nid.uID || (lParam != WM_RBUTTONUP && lParam != WM_LBUTTONDBLCLK))
        return 0;
    QMenu* menu = LoadPopupMenu(m_nid.uID, nullptr);
    if (menu == nullptr || menu->actions().isEmpty()) {
        delete menu;
        return 0;
    }
    if (lParam == WM_RBUTTONUP) {
        const QPoint at = QCursor::pos();
        PrepareMenu(menu);
        if (m_nid.hWnd != nullptr) {
            const uint32_t chosen = TrackPopupMenu(menu, at);
            if (chosen != 0)
                m_nid.hWnd->Post(WM_COMMAND, chosen, 0);
        }
    } else if (m_nid.hWnd != nullptr) {
        m_nid.hWnd->Send(WM_COMMAND, ActionCommand(menu->actions().at(0)), 0);
    }
    delete menu;
    return 1;
}
