// The host dialog: its defaults, the three kinds of destination with every refusal and its
// box, the number fields and their arrows, update mode for each kind of host, a full table,
// and the modal run with Add and Cancel.
#include "ui/dlg_add_ip.h"

#include <cstring>
#include <memory>
#include <string>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "engine/host_list.h"
#include "ui/dlg_setup.h"
#include "ui/setup_dialog_fixture.h"
#include "ui/ui_setup_hooks.h"

namespace {

int g_lookups = 0;
std::string g_lastLookup;

// Knows one name; every lookup is counted.
std::optional<uint32_t> FakeResolver(const std::string& name) {
    ++g_lookups;
    g_lastLookup = name;
    if (name == "web.test")
        return inet_addr("127.0.0.5");
    if (name == "broadcast.test")
        return INADDR_NONE;
    return std::nullopt;
}

void Type(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

void TypeAddress(CIPAddressCtrl* ctrl, int a, int b, int c, int d) {
    const int fields[4] = {a, b, c, d};
    for (int i = 0; i < 4; ++i)
        Type(ctrl->field(i), QString::number(fields[i]));
}

std::string Addr4Text(const CHostItem& host) {
    in_addr in{};
    in.s_addr = host.LoadAddr4();
    return inet_ntoa(in);
}

class DlgAddIPTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        SetMessageBoxSink(&m_boxes);
        CDlgAddIP::SetHostResolver(FakeResolver);
        g_lookups = 0;
        m_setup.mail_highpriority = 0;
        m_oldSetup = g_pSetupInfo;
        g_pSetupInfo = &m_setup;
    }
    void TearDown() override {
        g_pSetupInfo = m_oldSetup;
        CDlgAddIP::SetHostResolver(nullptr);
        SetMessageBoxSink(nullptr);
        DestroyHostList();
    }

    // Presses Add and expects it refused with `text` and nothing added or accepted.
    void ExpectRefused(CDlgAddIP& dialog, const std::string& text) {
        m_boxes.Clear();
        const uint16_t before = g_pHostList->count.load();
        dialog.OnAdd();
        EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{text});
        EXPECT_EQ(g_pHostList->count.load(), before);
        EXPECT_NE(dialog.result(), QDialog::Accepted);
    }

    // A published IPv4 host as a loaded setup gives it.
    static CHostItem* StoredHost() {
        CHostItem* host = AddHost(0);
        host->name = "stored";
        host->descript = "line one\r\nline two";
        host->mail_group = 7;
        host->interval = 3000;
        host->timeout = 900;
        host->packetsize = 64;
        host->notify_down = 0;
        host->notify_up = 1;
        host->advance = kAdvanceSuspended;
        host->mail_priority = 1;
        PublishHost(host);
        return host;
    }

    setuptest::RecordingBoxes m_boxes;
    CSetupInfo m_setup;
    CSetupInfo* m_oldSetup = nullptr;
};

TEST_F(DlgAddIPTest, AddModeStartsWithTheDefaults) {
    m_setup.mail_highpriority = 1;
    CDlgAddIP dialog;
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.windowTitle(), "Add IP");
    EXPECT_EQ(dialog.m_add->text(), "Add");
    EXPECT_EQ(dialog.m_options.m_interval->text(), "1000");
    EXPECT_EQ(dialog.m_options.m_timeout->text(), "2000");
    EXPECT_EQ(dialog.m_options.m_packetSize->text(), "32");
    EXPECT_EQ(dialog.m_options.m_group->text(), "0");
    EXPECT_TRUE(dialog.m_options.m_notifyDown->isChecked());
    EXPECT_TRUE(dialog.m_options.m_notifyUp->isChecked());
    EXPECT_TRUE(dialog.m_options.m_notifyTtl->isChecked());
    EXPECT_TRUE(dialog.m_options.m_priority->isChecked());
    EXPECT_TRUE(dialog.m_ipv4Radio->isChecked());
    EXPECT_FALSE(dialog.m_hostname->isEnabled());
    EXPECT_TRUE(dialog.m_ipv4->isEnabled());
    EXPECT_FALSE(dialog.m_ipv6->isEnabled());
    EXPECT_FALSE(dialog.m_resolve->isEnabled());

    m_setup.mail_highpriority = 0;
    CDlgAddIP plain;
    plain.OnInitDialog();
    EXPECT_FALSE(plain.m_options.m_priority->isChecked());

    // The radio buttons switch the inputs; the resolve box is never offered.
    dialog.m_hostnameRadio->click();
    EXPECT_TRUE(dialog.m_hostname->isEnabled());
    EXPECT_FALSE(dialog.m_ipv4->isEnabled());
    dialog.m_ipv6Radio->click();
    EXPECT_TRUE(dialog.m_ipv6->isEnabled());
    EXPECT_FALSE(dialog.m_hostname->isEnabled());
    EXPECT_FALSE(dialog.m_resolve->isEnabled());
}

TEST_F(DlgAddIPTest, IPv4AddressIsRefusedBlankZeroOrBroadcastAndStoredOtherwise) {
    CDlgAddIP dialog;
    dialog.OnInitDialog();
    ExpectRefused(dialog, kErrorIPText);  // blank
    TypeAddress(dialog.m_ipv4, 0, 0, 0, 0);
    ExpectRefused(dialog, kErrorIPText);
    TypeAddress(dialog.m_ipv4, 255, 255, 255, 255);
    ExpectRefused(dialog, kErrorIPText);
    EXPECT_EQ(dialog.m_pHost, nullptr);

    TypeAddress(dialog.m_ipv4, 9, 0, 0, 1);
    Type(dialog.m_options.m_name, "gateway");
    dialog.m_options.m_descript->setPlainText("first\nsecond");
    Type(dialog.m_options.m_group, "12");
    dialog.m_options.m_notifyUp->setChecked(false);
    dialog.m_options.m_notifyTtl->setChecked(false);
    dialog.m_options.m_priority->setChecked(true);
    m_boxes.Clear();
    dialog.OnAdd();
    EXPECT_TRUE(m_boxes.Texts().empty());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    ASSERT_NE(dialog.m_pHost, nullptr);
    const CHostItem& host = *dialog.m_pHost;
    EXPECT_EQ(g_pHostList->Host(0), &host);
    EXPECT_EQ(host.row, 0u);
    EXPECT_EQ(g_rowCount, 1);
    // Visible to the worker threads only now that it is filled.
    EXPECT_EQ(host.list_flags.load() & kListUnfilled, 0u);
    EXPECT_EQ(Addr4Text(host), "9.0.0.1");
    EXPECT_FALSE(host.IsIPv6());
    EXPECT_EQ(host.name, "gateway");
    EXPECT_EQ(host.descript, "first\r\nsecond");
    EXPECT_EQ(host.mail_group, 12);
    EXPECT_EQ(host.interval.load(), 1000u);
    EXPECT_EQ(host.timeout.load(), 2000u);
    EXPECT_EQ(host.packetsize.load(), 32u);
    EXPECT_EQ(host.notify_down, 1);
    EXPECT_EQ(host.notify_up, 0);
    EXPECT_EQ(host.advance.load(), 0u);
    EXPECT_EQ(host.mail_priority, 1);
    EXPECT_EQ(host.name_host, 0);
    EXPECT_EQ(host.ip_to_name, 0);
    EXPECT_EQ(host.hostname, "");
}

TEST_F(DlgAddIPTest, HostnameIsTakenAsADottedAddressOrLookedUp) {
    CDlgAddIP dialog;
    dialog.OnInitDialog();
    dialog.OnHostnameRadio();
    ExpectRefused(dialog, kErrorHostnameText);  // empty
    Type(dialog.m_hostname, "nowhere.test");
    ExpectRefused(dialog, kErrorHostnameText);
    Type(dialog.m_hostname, "broadcast.test");
    ExpectRefused(dialog, kErrorHostnameText);
    EXPECT_EQ(g_lookups, 2);

    Type(dialog.m_hostname, "10.0.0.1");
    dialog.OnAdd();
    EXPECT_EQ(g_lookups, 2);  // no lookup for an address
    ASSERT_NE(dialog.m_pHost, nullptr);
    EXPECT_EQ(dialog.m_pHost->name_host, 1);
    EXPECT_EQ(dialog.m_pHost->hostname, "10.0.0.1");
    EXPECT_EQ(Addr4Text(*dialog.m_pHost), "10.0.0.1");

    CDlgAddIP named;
    named.OnInitDialog();
    named.OnHostnameRadio();
    Type(named.m_hostname, "web.test");
    named.OnAdd();
    ASSERT_NE(named.m_pHost, nullptr);
    EXPECT_EQ(g_lastLookup, "web.test");
    EXPECT_EQ(Addr4Text(*named.m_pHost), "127.0.0.5");
    EXPECT_EQ(named.m_pHost->hostname, "web.test");
    EXPECT_EQ(named.m_pHost->row, 1u);
}

TEST_F(DlgAddIPTest, SystemLookupAnswersFromTheHostsFile) {
    const auto address = ResolveHostIPv4("localhost");
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ((ntohl(*address) >> 24), 127u);
    EXPECT_FALSE(ResolveHostIPv4("").has_value());
}

TEST_F(DlgAddIPTest, IPv6AddressMustParseAndNotBeUnspecified) {
    CDlgAddIP dialog;
    dialog.OnInitDialog();
    dialog.OnIPv6Radio();
    ExpectRefused(dialog, kErrorIPv6Text);
    Type(dialog.m_ipv6, "fe80::zz");
    ExpectRefused(dialog, kErrorIPv6Text);
    Type(dialog.m_ipv6, "::");
    ExpectRefused(dialog, kErrorIPv6Text);
    Type(dialog.m_ipv6, "10.0.0.1");
    ExpectRefused(dialog, kErrorIPv6Text);

    Type(dialog.m_ipv6, "::1");
    dialog.OnAdd();
    ASSERT_NE(dialog.m_pHost, nullptr);
    const CHostItem& host = *dialog.m_pHost;
    EXPECT_TRUE(host.IsIPv6());
    EXPECT_EQ(host.LoadAddr4(), 0u);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&host.addr6.sin6_addr));
    ASSERT_TRUE(host.target6.has_value());
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&host.target6->sin6_addr));
    EXPECT_EQ(host.name_host, 0);
}

TEST_F(DlgAddIPTest, NumbersAreRaisedRefusedOrStoredAsTypedButNeverWrapped) {
    struct Case {
        const char* interval;
        const char* timeout;
        const char* packet;
        const char* group;
        const char* refusal;  // nullptr: accepted with the four numbers below
        uint32_t wantInterval, wantTimeout, wantPacket;
        uint16_t wantGroup;
    };
    const Case cases[] = {
        {"10", "2000", "32", "0", nullptr, 50, 2000, 32, 0},
        {"50", "1", "70000", "65535", nullptr, 50, 1, 70000, 65535},
        {"0", "4294967295", "12", "3", nullptr, 50, 4294967295u, 12, 3},
        // Read as the classic conversion reads them: a leading number, else 0.
        {"abc", " 900ms", "", "7x", nullptr, 50, 900, 0, 7},
        {"4294967296", "2000", "32", "0", "Interval must be a whole number from 0 to 4294967295.",
         0, 0, 0, 0},
        {"1000", "-1", "32", "0", "Timeout must be a whole number from 0 to 4294967295.", 0, 0, 0,
         0},
        {"1000", "2000", "-32", "0", "Packet Size must be a whole number from 0 to 4294967295.", 0,
         0, 0, 0},
        {"1000", "2000", "32", "65536", "Mail Group ID must be a whole number from 0 to 65535.", 0,
         0, 0, 0},
    };
    for (const Case& c : cases) {
        CDlgAddIP dialog;
        dialog.OnInitDialog();
        TypeAddress(dialog.m_ipv4, 127, 0, 0, 1);
        Type(dialog.m_options.m_interval, c.interval);
        Type(dialog.m_options.m_timeout, c.timeout);
        Type(dialog.m_options.m_packetSize, c.packet);
        Type(dialog.m_options.m_group, c.group);
        if (c.refusal != nullptr) {
            ExpectRefused(dialog, c.refusal);
            continue;
        }
        dialog.OnAdd();
        ASSERT_NE(dialog.m_pHost, nullptr) << c.interval;
        EXPECT_EQ(dialog.m_pHost->interval.load(), c.wantInterval);
        EXPECT_EQ(dialog.m_pHost->timeout.load(), c.wantTimeout);
        EXPECT_EQ(dialog.m_pHost->packetsize.load(), c.wantPacket);
        EXPECT_EQ(dialog.m_pHost->mail_group, c.wantGroup);
    }

    // Raising is no refusal: an interval stored below 50 (an imported file can hold one)
    // is raised too, and the dialog still saves.
    CHostItem* host = StoredHost();
    host->interval = 10;
    CDlgAddIP edit;
    edit.m_pHost = host;
    edit.OnInitDialog();
    TypeAddress(edit.m_ipv4, 127, 0, 0, 2);
    edit.OnAdd();
    EXPECT_EQ(host->interval.load(), 50u);
}

TEST_F(DlgAddIPTest, ArrowsStepWithinTheirLimits) {
    CDlgAddIP dialog;
    dialog.OnInitDialog();
    CHostOptionControls& o = dialog.m_options;
    auto click = [](CSpinArrows* spin, bool up) {
        QTest::mouseClick(up ? spin->upButton() : spin->downButton(), Qt::LeftButton);
    };
    Type(o.m_packetSize, "15");
    click(o.m_packetSpin[1], false);
    EXPECT_EQ(o.m_packetSize->text(), "12");
    Type(o.m_packetSize, "65000");
    click(o.m_packetSpin[3], true);
    EXPECT_EQ(o.m_packetSize->text(), "65500");
    click(o.m_packetSpin[2], false);
    EXPECT_EQ(o.m_packetSize->text(), "65400");
    click(o.m_packetSpin[0], true);
    EXPECT_EQ(o.m_packetSize->text(), "65401");
    Type(o.m_packetSize, "junk");
    click(o.m_packetSpin[0], true);
    EXPECT_EQ(o.m_packetSize->text(), "12");

    Type(o.m_interval, "1");
    click(o.m_intervalSpin, false);
    EXPECT_EQ(o.m_interval->text(), "1");
    click(o.m_intervalSpin, true);
    EXPECT_EQ(o.m_interval->text(), "2");
    Type(o.m_timeout, "4294967295");
    click(o.m_timeoutSpin, true);
    EXPECT_EQ(o.m_timeout->text(), "4294967295");
    Type(o.m_timeout, "99999999999999999999999");
    click(o.m_timeoutSpin, false);
    EXPECT_EQ(o.m_timeout->text(), "4294967295");
}

TEST_F(DlgAddIPTest, UpdateOfAHostGivenByNameKeepsItSo) {
    CHostItem* host = StoredHost();
    host->name_host = 1;
    host->hostname = "web.test";
    host->StoreAddr4(inet_addr("127.0.0.5"));
    CDlgAddIP dialog;
    dialog.m_pHost = host;
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.windowTitle(), "Update IP");
    EXPECT_EQ(dialog.m_add->text(), "Update");
    EXPECT_TRUE(dialog.m_hostnameRadio->isChecked());
    EXPECT_EQ(dialog.m_hostname->text(), "web.test");
    EXPECT_TRUE(dialog.m_hostname->isEnabled());
    EXPECT_FALSE(dialog.m_ipv4->isEnabled());
    EXPECT_FALSE(dialog.m_resolve->isChecked());
    EXPECT_EQ(dialog.m_options.m_name->text(), "stored");
    EXPECT_EQ(dialog.m_options.m_descript->toPlainText(), "line one\nline two");
    EXPECT_EQ(dialog.m_options.m_group->text(), "7");
    EXPECT_EQ(dialog.m_options.m_interval->text(), "3000");
    EXPECT_EQ(dialog.m_options.m_timeout->text(), "900");
    EXPECT_EQ(dialog.m_options.m_packetSize->text(), "64");
    EXPECT_FALSE(dialog.m_options.m_notifyDown->isChecked());
    EXPECT_FALSE(dialog.m_options.m_notifyTtl->isChecked());
    EXPECT_TRUE(dialog.m_options.m_priority->isChecked());

    dialog.OnAdd();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.m_pHost, host);
    EXPECT_EQ(g_pHostList->count.load(), 1);
    EXPECT_EQ(host->name_host, 1);
    EXPECT_EQ(host->hostname, "web.test");
    EXPECT_EQ(Addr4Text(*host), "127.0.0.5");
    EXPECT_EQ(host->descript, "line one\r\nline two");
    EXPECT_EQ(host->interval.load(), 3000u);
    // The suspended bit is the list's, not the dialog's.
    EXPECT_EQ(host->advance.load(), kAdvanceSuspended);
}

TEST_F(DlgAddIPTest, UpdateOfAddressHostsRewritesTheDestination) {
    // An IPv4 host with a looked-up name loses the name; its resolve choice stays.
    CHostItem* host = StoredHost();
    host->StoreAddr4(inet_addr("192.0.2.7"));
    host->hostname = "looked.up";
    host->ip_to_name = 1;
    CDlgAddIP dialog;
    dialog.m_pHost = host;
    dialog.OnInitDialog();
    EXPECT_TRUE(dialog.m_ipv4Radio->isChecked());
    EXPECT_EQ(dialog.m_ipv4->GetAddress(), 0xC0000207u);
    EXPECT_TRUE(dialog.m_resolve->isChecked());
    EXPECT_FALSE(dialog.m_resolve->isEnabled());
    EXPECT_EQ(dialog.m_hostname->text(), "");
    dialog.OnAdd();
    EXPECT_EQ(host->hostname, "");
    EXPECT_EQ(host->ip_to_name, 1);
    EXPECT_EQ(Addr4Text(*host), "192.0.2.7");

    // An IPv6 host switched to an IPv4 address is an IPv4 host from then on.
    CHostItem* v6 = StoredHost();
    inet_pton(AF_INET6, "::1", &v6->addr6.sin6_addr);
    v6->ResolveIPv6(nullptr);
    CDlgAddIP edit;
    edit.m_pHost = v6;
    edit.OnInitDialog();
    EXPECT_TRUE(edit.m_ipv6Radio->isChecked());
    EXPECT_EQ(edit.m_ipv6->text(), "::1");
    EXPECT_TRUE(edit.m_ipv6->isEnabled());
    edit.m_ipv4Radio->click();
    TypeAddress(edit.m_ipv4, 127, 0, 0, 9);
    edit.OnAdd();
    EXPECT_FALSE(v6->IsIPv6());
    EXPECT_FALSE(v6->target6.has_value());
    EXPECT_EQ(Addr4Text(*v6), "127.0.0.9");

    // A refused edit leaves the record as it was.
    CDlgAddIP refused;
    refused.m_pHost = v6;
    refused.OnInitDialog();
    Type(refused.m_options.m_name, "changed");
    refused.OnIPv6Radio();
    ExpectRefused(refused, kErrorIPv6Text);
    EXPECT_EQ(v6->name, "stored");
    EXPECT_EQ(Addr4Text(*v6), "127.0.0.9");
}

TEST_F(DlgAddIPTest, FullTableRefusesTheHost) {
    DestroyHostList();
    ASSERT_EQ(CreateHostList(1), 0);
    ASSERT_NE(AddHost(0), nullptr);
    CDlgAddIP dialog;
    dialog.OnInitDialog();
    TypeAddress(dialog.m_ipv4, 127, 0, 0, 1);
    ExpectRefused(dialog, kAddIPErrorText);
    EXPECT_EQ(dialog.m_pHost, nullptr);
}

TEST_F(DlgAddIPTest, ModalRunEndsWithAddOrCancel) {
    setuptest::WhenModal<CDlgAddIP>([](CDlgAddIP* d) { d->m_cancel->click(); });
    CDlgAddIP cancelled;
    EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
    EXPECT_EQ(cancelled.m_pHost, nullptr);
    EXPECT_EQ(g_pHostList->count.load(), 0);

    // Enter on a focused Cancel cancels too.
    setuptest::WhenModal<CDlgAddIP>([](CDlgAddIP* d) {
        TypeAddress(d->m_ipv4, 127, 0, 0, 1);
        d->m_cancel->setFocus(Qt::TabFocusReason);
        QTest::keyClick(d->focusWidget(), Qt::Key_Return);
    });
    CDlgAddIP entered;
    EXPECT_EQ(entered.DoModal(), IDCANCEL);
    EXPECT_EQ(g_pHostList->count.load(), 0);

    setuptest::WhenModal<CDlgAddIP>([](CDlgAddIP* d) {
        TypeAddress(d->m_ipv4, 127, 0, 0, 1);
        QTest::keyClick(d->m_ipv4->field(3), Qt::Key_Return);
    });
    CDlgAddIP added;
    EXPECT_EQ(added.DoModal(), IDOK);
    ASSERT_NE(added.m_pHost, nullptr);
    EXPECT_EQ(g_pHostList->count.load(), 1);
}

TEST(IPAddressCtrlTest, FieldsReadBlankAsZeroAndClampAbove255) {
    CIPAddressCtrl ctrl;
    EXPECT_TRUE(ctrl.IsBlank());
    EXPECT_EQ(ctrl.GetAddress(), 0u);
    ctrl.SetAddress(0x0A00FF01);
    EXPECT_EQ(ctrl.field(0)->text(), "10");
    EXPECT_EQ(ctrl.field(2)->text(), "255");
    EXPECT_EQ(ctrl.GetAddress(), 0x0A00FF01u);
    ctrl.field(1)->clear();
    EXPECT_EQ(ctrl.GetAddress(), 0x0A00FF01u);
    QTest::keyClicks(ctrl.field(1), "999x");
    EXPECT_EQ(ctrl.field(1)->text(), "999");  // letters are not taken
    EXPECT_EQ(ctrl.GetAddress(), 0x0AFFFF01u);
    ctrl.ClearAddress();
    EXPECT_TRUE(ctrl.IsBlank());
}

}  // namespace
