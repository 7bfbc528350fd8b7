// The host range dialog: ranges in either order and across octets, the refusals with
// their boxes, the size limits on an empty and on a part-filled table, the options every
// host of a range shares, and the modal run.
#include "ui/dlg_add_range.h"

#include <string>
#include <vector>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "engine/host_list.h"
#include "ui/setup_dialog_fixture.h"

namespace {

uint32_t Ip(const char* text) {
    return ntohl(inet_addr(text));
}

std::vector<std::string> TableAddresses() {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < g_pHostList->count.load(); ++i) {
        in_addr in{};
        in.s_addr = g_pHostList->Host(i)->LoadAddr4();
        out.push_back(inet_ntoa(in));
    }
    return out;
}

class DlgAddRangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        SetMessageBoxSink(&m_boxes);
        m_oldSetup = g_pSetupInfo;
        g_pSetupInfo = &m_setup;
    }
    void TearDown() override {
        g_pSetupInfo = m_oldSetup;
        SetMessageBoxSink(nullptr);
        DestroyHostList();
    }

    // A dialog with its defaults and the two ends set.
    std::unique_ptr<CDlgAddRange> Dialog(const char* first, const char* end) {
        auto dialog = std::make_unique<CDlgAddRange>();
        dialog->OnInitDialog();
        if (first != nullptr)
            dialog->m_first->SetAddress(Ip(first));
        if (end != nullptr)
            dialog->m_end->SetAddress(Ip(end));
        return dialog;
    }
    void ExpectRefused(CDlgAddRange& dialog, const std::string& text) {
        m_boxes.Clear();
        const uint16_t before = g_pHostList->count.load();
        dialog.OnAdd();
        EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{text});
        EXPECT_EQ(g_pHostList->count.load(), before);
        EXPECT_NE(dialog.result(), QDialog::Accepted);
    }

    setuptest::RecordingBoxes m_boxes;
    CSetupInfo m_setup;
    CSetupInfo* m_oldSetup = nullptr;
};

TEST_F(DlgAddRangeTest, StartsWithBlankEndsAndTheHostDefaults) {
    m_setup.mail_highpriority = 1;
    auto dialog = Dialog(nullptr, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Add IP Range");
    EXPECT_TRUE(dialog->m_first->IsBlank());
    EXPECT_TRUE(dialog->m_end->IsBlank());
    EXPECT_TRUE(dialog->m_resolve->isEnabled());
    EXPECT_FALSE(dialog->m_resolve->isChecked());
    EXPECT_EQ(dialog->m_options.m_interval->text(), "1000");
    EXPECT_TRUE(dialog->m_options.m_priority->isChecked());
}

TEST_F(DlgAddRangeTest, RangeIsAddedInAddressOrderWhicheverEndComesFirst) {
    for (bool reversed : {false, true}) {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        auto dialog = reversed ? Dialog("192.168.1.20", "192.168.1.10")
                               : Dialog("192.168.1.10", "192.168.1.20");
        dialog->m_options.m_name->setText("rack");
        dialog->m_options.m_descript->setPlainText("a\nb");
        dialog->m_options.m_interval->setText("10");
        dialog->m_options.m_group->setText("4");
        dialog->m_options.m_notifyUp->setChecked(false);
        dialog->m_resolve->setChecked(true);
        dialog->OnAdd();
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        ASSERT_EQ(dialog->m_nAdded, 11);
        EXPECT_EQ(dialog->m_pHost, g_pHostList->Host(0));
        std::vector<std::string> expected;
        for (int i = 10; i <= 20; ++i)
            expected.push_back("192.168.1." + std::to_string(i));
        EXPECT_EQ(TableAddresses(), expected);
        ASSERT_EQ(g_rowCount, 11);
        for (int32_t r = 0; r < g_rowCount; ++r) {
            const CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(r));
            EXPECT_EQ(g_rowToHost[r], r);
            EXPECT_EQ(host->row, static_cast<uint32_t>(r));
            EXPECT_EQ(host->list_flags.load() & kListUnfilled, 0u);
            EXPECT_EQ(host->name, "rack");
            EXPECT_EQ(host->descript, "a\r\nb");
            EXPECT_EQ(host->interval.load(), 50u);
            EXPECT_EQ(host->timeout.load(), 2000u);
            EXPECT_EQ(host->packetsize.load(), 32u);
            EXPECT_EQ(host->mail_group, 4);
            EXPECT_EQ(host->notify_down, 1);
            EXPECT_EQ(host->notify_up, 0);
            EXPECT_EQ(host->advance.load(), kAdvanceTtlEvent);
            EXPECT_EQ(host->name_host, 0);
            EXPECT_EQ(host->ip_to_name, 1);
            EXPECT_EQ(host->hostname, "");
            EXPECT_FALSE(host->IsIPv6());
        }
    }
}

TEST_F(DlgAddRangeTest, RangeCrossesAnOctetBoundary) {
    auto dialog = Dialog("10.0.0.250", "10.0.1.5");
    dialog->OnAdd();
    ASSERT_EQ(dialog->m_nAdded, 12);
    const std::vector<std::string> addresses = TableAddresses();
    EXPECT_EQ(addresses.front(), "10.0.0.250");
    EXPECT_EQ(addresses[5], "10.0.0.255");
    EXPECT_EQ(addresses[6], "10.0.1.0");
    EXPECT_EQ(addresses.back(), "10.0.1.5");
}

TEST_F(DlgAddRangeTest, EqualEndsAndBadNumbersAreRefused) {
    auto blank = Dialog(nullptr, nullptr);
    ExpectRefused(*blank, kErrorIPText);
    auto one = Dialog("10.0.0.1", "10.0.0.1");
    ExpectRefused(*one, kErrorIPText);
    auto group = Dialog("10.0.0.1", "10.0.0.2");
    group->m_options.m_group->setText("65536");
    ExpectRefused(*group, "Mail Group ID must be a whole number from 0 to 65535.");
}

TEST_F(DlgAddRangeTest, SizeIsCheckedInSixtyFourBitsAgainstTheFreeSlots) {
    EXPECT_EQ(RangeAddressCount(0, 0xFFFFFFFF), 0x100000000ull);
    EXPECT_EQ(RangeAddressCount(0xFFFFFFFF, 0), 0x100000000ull);
    EXPECT_EQ(RangeAddressCount(7, 7), 1u);

    auto whole = Dialog("0.0.0.0", "255.255.255.255");
    ExpectRefused(*whole, kTooManyIPText);
    auto wide = Dialog("0.0.0.5", "255.255.255.250");
    ExpectRefused(*wide, kTooManyIPText);
    auto over = Dialog("10.0.0.0", "10.0.255.255");  // 65,536 addresses
    ExpectRefused(*over, kTooManyIPText);

    auto full = Dialog("10.0.255.254", "10.0.0.0");  // 65,535 addresses
    full->OnAdd();
    EXPECT_EQ(full->result(), QDialog::Accepted);
    EXPECT_EQ(full->m_nAdded, kMaxHosts);
    EXPECT_EQ(GetFreeHostSlots(0), 0);
    EXPECT_EQ(g_rowCount, kMaxHosts);
    const CHostItem* last = g_pHostList->Host(kMaxHosts - 1);
    EXPECT_EQ(ntohl(last->LoadAddr4()), Ip("10.0.255.254"));
    EXPECT_EQ(last->row, static_cast<uint32_t>(kMaxHosts - 1));

    // Full now: even two addresses are too many.
    auto more = Dialog("10.1.0.0", "10.1.0.1");
    ExpectRefused(*more, kTooManyIPText);
}

TEST_F(DlgAddRangeTest, PartFilledTableTakesWhatFitsWhole) {
    DestroyHostList();
    ASSERT_EQ(CreateHostList(12), 0);
    for (int i = 0; i < 2; ++i)
        PublishHost(AddHost(0));
    ASSERT_EQ(GetFreeHostSlots(0), 10);
    auto eleven = Dialog("10.0.0.1", "10.0.0.11");
    ExpectRefused(*eleven, kTooManyIPText);
    auto ten = Dialog("10.0.0.1", "10.0.0.10");
    ten->OnAdd();
    EXPECT_EQ(ten->m_nAdded, 10);
    EXPECT_EQ(ten->m_pHost, g_pHostList->Host(2));
    EXPECT_EQ(ten->m_pHost->row, 2u);
    EXPECT_EQ(GetFreeHostSlots(0), 0);
}

TEST_F(DlgAddRangeTest, ModalRunEndsWithAddOrCancel) {
    setuptest::WhenModal<CDlgAddRange>([](CDlgAddRange* d) {
        d->m_first->SetAddress(Ip("127.0.0.1"));
        d->m_end->SetAddress(Ip("127.0.0.3"));
        d->m_cancel->click();
    });
    CDlgAddRange cancelled;
    EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
    EXPECT_EQ(g_pHostList->count.load(), 0);

    // Enter on a focused Cancel cancels too.
    setuptest::WhenModal<CDlgAddRange>([](CDlgAddRange* d) {
        d->m_first->SetAddress(Ip("127.0.0.1"));
        d->m_end->SetAddress(Ip("127.0.0.3"));
        d->m_cancel->setFocus(Qt::TabFocusReason);
        QTest::keyClick(d->focusWidget(), Qt::Key_Return);
    });
    CDlgAddRange entered;
    EXPECT_EQ(entered.DoModal(), IDCANCEL);
    EXPECT_EQ(g_pHostList->count.load(), 0);

    setuptest::WhenModal<CDlgAddRange>([](CDlgAddRange* d) {
        d->m_first->SetAddress(Ip("127.0.0.1"));
        d->m_end->SetAddress(Ip("127.0.0.3"));
        d->m_add->click();
    });
    CDlgAddRange added;
    EXPECT_EQ(added.DoModal(), IDOK);
    EXPECT_EQ(added.m_nAdded, 3);
    EXPECT_EQ(g_pHostList->count.load(), 3);
}

}  // namespace
