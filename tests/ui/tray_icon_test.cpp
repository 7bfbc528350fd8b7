#include "ui/tray_icon.h"

#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

#include "platform/message_target.h"
#include "ui/command_table.h"
#include "ui/menus.h"
#include "ui/window_messages.h"

namespace {

bool Available() {
    return true;
}
bool Unavailable() {
    return false;
}

// The notification window: records what the icon sends and posts.
class RecordingWindow : public MessageTarget {
public:
    struct Msg {
        uint32_t msg;
        WPARAM w;
        LPARAM l;
        bool sent;
    };
    std::vector<Msg> got;
    std::vector<uint32_t> menuItems;  // the ids of the menu WM_TRAY_MENU carried

    bool Post(uint32_t msg, WPARAM w, LPARAM l) override {
        got.push_back({msg, w, l, false});
        return true;
    }
    std::optional<LRESULT> Send(uint32_t msg, WPARAM w, LPARAM l) override {
        got.push_back({msg, w, l, true});
        if (msg == WM_TRAY_MENU) {
            for (QAction* a : reinterpret_cast<QMenu*>(w)->actions())
                menuItems.push_back(ActionCommand(a));
        }
        return 0;
    }
};

uint32_t g_choice = 0;
QString g_defaultItem;
uint32_t Track(QMenu* menu, const QPoint&) {
    g_defaultItem = menu->defaultAction() != nullptr ? menu->defaultAction()->text() : QString();
    return g_choice;
}

class TrayIconTest : public ::testing::Test {
protected:
    void SetUp() override {
        CTrayIcon::SetAvailabilityProbe(Available);
        SetPopupTracker(Track);
    }
    void TearDown() override {
        CTrayIcon::SetAvailabilityProbe(nullptr);
        SetPopupTracker(nullptr);
    }
};

TEST_F(TrayIconTest, AddsOnceThenChangesInPlaceAndRemoves) {
    CTrayIcon tray(IDR_TRAY_MENU);
    EXPECT_EQ(tray.nid().uID, 165u);
    EXPECT_TRUE(tray.nid().szTip.empty());  // no string 165
    EXPECT_TRUE(tray.SetIcon(0, 0));        // nothing to remove: no change at all
    EXPECT_EQ(tray.addCount(), 0);
    RecordingWindow wnd;
    tray.SetNotificationWnd(&wnd, WM_TRAY_NOTIFY);
    EXPECT_TRUE(tray.SetIcon(IDR_MAINFRAME, IDS_TRAY_TIP));
    EXPECT_TRUE(tray.visible());
    EXPECT_EQ(tray.nid().szTip, "Velmora IPV6 V4.0.0");
    EXPECT_EQ(tray.nid().uFlags, CTrayIcon::NIF_ICON | CTrayIcon::NIF_TIP | CTrayIcon::NIF_MESSAGE);
    EXPECT_TRUE(tray.SetIcon(IDR_MAINFRAME, IDS_TRAY_TIP));
    EXPECT_EQ(tray.addCount(), 1);
    EXPECT_EQ(tray.modifyCount(), 1);
    EXPECT_TRUE(tray.SetIcon(0, 0));
    EXPECT_FALSE(tray.visible());
    EXPECT_TRUE(tray.SetIcon(IDR_MAINFRAME, 0));  // added afresh after a removal
    EXPECT_EQ(tray.addCount(), 2);
}

TEST_F(TrayIconTest, WithoutANotificationAreaTheIconIsNotShown) {
    CTrayIcon::SetAvailabilityProbe(Unavailable);
    CTrayIcon tray(IDR_TRAY_MENU);
    EXPECT_FALSE(tray.SetIcon(IDR_MAINFRAME, IDS_TRAY_TIP));
    EXPECT_FALSE(tray.visible());
}

TEST_F(TrayIconTest, OnlyRightReleaseAndDoubleClickAreHandled) {
    CTrayIcon tray(IDR_TRAY_MENU);
    RecordingWindow wnd;
    tray.SetNotificationWnd(&wnd, WM_TRAY_NOTIFY);
    ASSERT_TRUE(tray.SetIcon(IDR_MAINFRAME, IDS_TRAY_TIP));
    EXPECT_EQ(tray.OnTrayNotification(165, WM_LBUTTONUP), 0);
    EXPECT_EQ(tray.OnTrayNotification(165, WM_RBUTTONDOWN), 0);
    EXPECT_EQ(tray.OnTrayNotification(166, WM_RBUTTONUP), 0);
    EXPECT_TRUE(wnd.got.empty());
}

TEST_F(TrayIconTest, DoubleClickRunsTheFirstItem) {
    CTrayIcon tray(IDR_TRAY_MENU);
    RecordingWindow wnd;
    tray.SetNotificationWnd(&wnd, WM_TRAY_NOTIFY);
    ASSERT_TRUE(tray.SetIcon(IDR_MAINFRAME, IDS_TRAY_TIP));
    EXPECT_EQ(tray.OnTrayNotification(165, WM_LBUTTONDBLCLK), 1);
    ASSERT_EQ(wnd.got.size(), 1u);
    EXPECT_EQ(wnd.got[0].msg, WM_COMMAND);
    EXPECT_EQ(wnd.got[0].w, ID_OPEN_WINDOW);
}

TEST_F(TrayIconTest, RightClickPreparesTheMenuThenDeliversTheChoice) {
    CTrayIcon tray(IDR_TRAY_MENU);
    RecordingWindow wnd;
    tray.SetNotificationWnd(&wnd, WM_TRAY_NOTIFY);
    ASSERT_TRUE(tray.SetIcon(IDR_MAINFRAME, IDS_TRAY_TIP));
    g_choice = ID_APP_EXIT;
    EXPECT_EQ(tray.OnTrayNotification(165, WM_RBUTTONUP), 1);
    ASSERT_EQ(wnd.got.size(), 2u);
    EXPECT_EQ(wnd.got[0].msg, WM_TRAY_MENU);
    EXPECT_TRUE(wnd.got[0].sent);
    EXPECT_EQ(wnd.got[0].l, WM_RBUTTONUP);
    const std::vector<uint32_t> items = {32775, 32786, 57664, 0, 32790, 32776, 0, 32777};
    EXPECT_EQ(wnd.menuItems, items);
    EXPECT_EQ(g_defaultItem, "Open(&O)");
    EXPECT_EQ(wnd.got[1].msg, WM_COMMAND);
    EXPECT_EQ(wnd.got[1].w, ID_APP_EXIT);
    EXPECT_FALSE(wnd.got[1].sent);

    wnd.got.clear();
    g_choice = 0;  // menu dismissed
    EXPECT_EQ(tray.OnTrayNotification(165, WM_RBUTTONUP), 1);
    EXPECT_EQ(wnd.got.size(), 1u);
}

}  // namespace
