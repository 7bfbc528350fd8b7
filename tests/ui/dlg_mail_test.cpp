// The Mail page: the recipient list and its dialog, the switches that enable fields, and
// the test mail through the real mail thread against a loopback SMTP server.
#include "ui/dlg_mail.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "mail/smtp_test_server.h"
#include "ui/setup_dialog_fixture.h"
#include "ui/ui_setup_hooks.h"

namespace {

using setuptest::PumpUntil;
using setuptest::WhenModal;

void Type(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

class MailPage : public setuptest::SetupDialogTest {
protected:
    CDlgMail* Page(CDlgSetup& dialog) { return static_cast<CDlgMail*>(dialog.tabCtrl()->page(2)); }
    static QStringList Row(CDlgMail* page, int row) {
        const QTreeWidgetItem* item = page->m_list->topLevelItem(row);
        return item == nullptr ? QStringList() : QStringList{item->text(0), item->text(1)};
    }
};

TEST_F(MailPage, RecipientsAreAddedEditedAndDeletedThroughTheDialog) {
    m_setup.newemailcount = 1;
    m_setup.newemailto[0] = "first@example.test";
    m_setup.emailgrouplist[0] = 5;
    g_mailDlgAddress = "left over";
    CDlgSetup dialog;
    CDlgMail* page = Page(dialog);

    // Add: an empty dialog titled "Add Mail" with group 0; Enter applies.
    WhenModal<CDlgAddMail>([](CDlgAddMail* d) {
        EXPECT_EQ(d->windowTitle(), "Add Mail");
        EXPECT_EQ(d->m_address->text(), "");
        EXPECT_EQ(d->m_group->text(), "0");
        EXPECT_EQ(d->m_apply->text(), "&Apply");
        EXPECT_EQ(d->m_cancel->text(), "&Cancel");
        QTest::keyClicks(d->m_address, "second@example.test");
        Type(d->m_group, "9");
        QTest::keyClick(d->m_group, Qt::Key_Return);
    });
    page->m_add->click();
    ASSERT_EQ(page->m_list->topLevelItemCount(), 2);
    EXPECT_EQ(Row(page, 1), QStringList({"second@example.test", "9"}));
    EXPECT_EQ(g_mailDlgAddress, "second@example.test");
    EXPECT_EQ(g_mailDlgGroup, 9);

    // Edit: "Update Mail" with the row's values.
    WhenModal<CDlgAddMail>([](CDlgAddMail* d) {
        EXPECT_EQ(d->windowTitle(), "Update Mail");
        EXPECT_EQ(d->m_address->text(), "first@example.test");
        EXPECT_EQ(d->m_group->text(), "5");
        Type(d->m_address, "renamed@example.test");
        Type(d->m_group, "65535");
        d->m_apply->click();
    });
    page->OnEditRecipient(0);
    EXPECT_EQ(Row(page, 0), QStringList({"renamed@example.test", "65535"}));

    // A cancelled edit (Esc) keeps the row.
    WhenModal<CDlgAddMail>([](CDlgAddMail* d) {
        Type(d->m_address, "dropped@example.test");
        QTest::keyClick(d->m_address, Qt::Key_Escape);
    });
    page->OnEditRecipient(1);
    EXPECT_EQ(Row(page, 1), QStringList({"second@example.test", "9"}));
    // So does Enter on a focused Cancel.
    WhenModal<CDlgAddMail>([](CDlgAddMail* d) {
        Type(d->m_address, "dropped@example.test");
        d->m_cancel->setFocus(Qt::TabFocusReason);
        QTest::keyClick(d->focusWidget(), Qt::Key_Return);
    });
    page->OnEditRecipient(1);
    EXPECT_EQ(Row(page, 1), QStringList({"second@example.test", "9"}));

    // A double click below the last row opens nothing (a dialog would hang this test).
    page->OnEditRecipient(2);
    page->OnEditRecipient(-1);

    // Delete takes the selected row; with none selected nothing happens.
    page->m_list->clearSelection();
    page->m_delete->click();
    EXPECT_EQ(page->m_list->topLevelItemCount(), 2);
    page->m_list->topLevelItem(0)->setSelected(true);
    page->m_delete->click();
    ASSERT_EQ(page->m_list->topLevelItemCount(), 1);
    EXPECT_EQ(Row(page, 0), QStringList({"second@example.test", "9"}));

    // The record changes only on OK.
    EXPECT_EQ(m_setup.newemailcount, 1);
    EXPECT_EQ(m_setup.newemailto[0], "first@example.test");
    dialog.OnButtonOK();
    EXPECT_EQ(m_setup.newemailcount, 1);
    EXPECT_EQ(m_setup.newemailto[0], "second@example.test");
    EXPECT_EQ(m_setup.emailgrouplist[0], 9);
}

TEST_F(MailPage, RecipientDialogRefusesAnEmptyAddressAndAGroupThatDoesNotFit) {
    g_mailDlgAddress.clear();
    g_mailDlgGroup = 0;
    CDlgAddMail dialog;
    dialog.show();
    bool ended = false;
    QObject::connect(&dialog, &QDialog::finished, [&] { ended = true; });

    const char* refusedGroups[] = {"-1", "65536", "99999999999999999999"};
    QTest::keyClicks(dialog.m_address, "x@example.test");
    for (const char* group : refusedGroups) {
        m_boxes.Clear();
        Type(dialog.m_group, group);
        dialog.m_apply->click();
        EXPECT_FALSE(ended) << group;
        ASSERT_EQ(m_boxes.Texts().size(), 1u);
        EXPECT_EQ(m_boxes.Texts()[0], "Mail Group ID must be a whole number from 0 to 65535.");
    }
    m_boxes.Clear();
    Type(dialog.m_group, "3 (night shift)");
    Type(dialog.m_address, "");
    dialog.m_apply->click();
    EXPECT_FALSE(ended);
    ASSERT_EQ(m_boxes.Texts().size(), 1u);
    EXPECT_EQ(m_boxes.Texts()[0], kEmptyAddressText);
    EXPECT_EQ(g_mailDlgAddress, "");
    EXPECT_EQ(g_mailDlgGroup, 0);

    QTest::keyClicks(dialog.m_address, "x@example.test");
    dialog.m_apply->click();
    EXPECT_TRUE(ended);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(g_mailDlgAddress, "x@example.test");
    EXPECT_EQ(g_mailDlgGroup, 3);
}

// A negative group stops Apply also when it is the stored one the dialog opened with: the
// dialog stays open, without a word, and hands the field to the user to mend.
TEST_F(MailPage, RecipientDialogRefusesANegativeGroupItWasOpenedWith) {
    m_setup.newemailcount = 1;
    m_setup.newemailto[0] = "night@example.test";
    m_setup.emailgrouplist[0] = -7;
    CDlgSetup dialog;
    CDlgMail* page = Page(dialog);
    bool checked = false;
    WhenModal<CDlgAddMail>([&](CDlgAddMail* d) {
        EXPECT_EQ(d->m_group->text(), "-7");
        d->m_apply->click();
        EXPECT_TRUE(d->isVisible());
        EXPECT_TRUE(m_boxes.Texts().empty());
        EXPECT_TRUE(d->m_group->isEnabled());
        EXPECT_EQ(d->focusWidget(), d->m_group);
        checked = true;
        Type(d->m_group, "7");
        d->m_apply->click();
    });
    page->OnEditRecipient(0);
    EXPECT_TRUE(checked);
    EXPECT_EQ(Row(page, 0), QStringList({"night@example.test", "7"}));
}

TEST_F(MailPage, TheListHoldsAtMost256AndRefusesThe257thWithAMessage) {
    m_setup.newemailcount = kMaxRecipients;
    for (int i = 0; i < kMaxRecipients; ++i) {
        m_setup.newemailto[static_cast<size_t>(i)] = "r" + std::to_string(i) + "@example.test";
        m_setup.emailgrouplist[static_cast<size_t>(i)] = i;
    }
    const CSetupInfo before = m_setup;
    CDlgSetup dialog;
    CDlgMail* page = Page(dialog);
    ASSERT_EQ(page->m_list->topLevelItemCount(), kMaxRecipients);
    page->m_add->click();  // no dialog opens: it would hang here
    EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{kRecipientListFullText});
    EXPECT_EQ(page->m_list->topLevelItemCount(), kMaxRecipients);
    dialog.OnButtonOK();
    setuptest::ExpectSameSettings(m_setup, before);
}

TEST_F(MailPage, LogonAndConstantMailEnableTheirFieldsButDisabledTextsAreStillSaved) {
    m_setup.auth = 0;
    m_setup.user = "u";
    m_setup.pass = "p";
    m_setup.bneedloopmail = 0;
    m_setup.loopemailint = 4;
    CDlgSetup dialog;
    CDlgMail* page = Page(dialog);
    EXPECT_FALSE(page->m_user->isEnabled());
    EXPECT_FALSE(page->m_pass->isEnabled());
    EXPECT_FALSE(page->m_loopInterval->isEnabled());
    EXPECT_FALSE(page->m_loopSpin->isEnabled());
    page->m_auth->click();
    page->m_loopMail->click();
    EXPECT_TRUE(page->m_user->isEnabled());
    EXPECT_TRUE(page->m_pass->isEnabled());
    EXPECT_TRUE(page->m_loopInterval->isEnabled());
    EXPECT_TRUE(page->m_loopSpin->isEnabled());
    Type(page->m_user, "new user");
    Type(page->m_pass, "new pass");
    Type(page->m_loopInterval, "6");
    page->m_auth->click();
    page->m_loopMail->click();
    EXPECT_FALSE(page->m_user->isEnabled());
    dialog.OnButtonOK();
    EXPECT_EQ(m_setup.auth, 0);
    EXPECT_EQ(m_setup.user, "new user");
    EXPECT_EQ(m_setup.pass, "new pass");
    EXPECT_EQ(m_setup.bneedloopmail, 0);
    EXPECT_EQ(m_setup.loopemailint, 6);
}

// ---- the test mail, through the real mail thread ----

class TestMail : public MailPage {
protected:
    void SetUp() override {
        MailPage::SetUp();
        m_thread = new cmailthread;
        m_thread->Resume();
        g_pMailThread = m_thread;
    }
    void TearDown() override {
        g_pMailThread = nullptr;
        m_thread->Stop();
        if (m_thread->WaitForExit() != 2)
            delete m_thread;
        MailPage::TearDown();
    }

    // Fills the page as a user would, without saving anything.
    void Fill(CDlgMail* page, uint16_t port, bool logon, const std::string& user,
              const std::string& pass, const QStringList& recipients) {
        Type(page->m_smtpServer, "127.0.0.1");
        Type(page->m_smtpPort, QString::number(port));
        Type(page->m_emailFrom, "monitor@example.test");
        Type(page->m_emailName, "Test Monitor");
        if (page->m_auth->isChecked() != logon)
            page->m_auth->click();
        Type(page->m_user, QString::fromStdString(user));
        Type(page->m_pass, QString::fromStdString(pass));
        page->m_highPriority->setChecked(false);  // the test mail is high priority anyway
        Type(page->m_testSubject, "probe from the setup");
        for (const QString& r : recipients) {
            auto* item = new QTreeWidgetItem({r, "1"});
            page->m_list->addTopLevelItem(item);
        }
    }

    // Presses "Send test Email" and waits for the box that answers it.
    std::string SendAndWaitForTheAnswer(CDlgMail* page) {
        m_boxes.Clear();
        page->m_sendTest->click();
        EXPECT_EQ(page->m_waiting, 1);
        EXPECT_TRUE(PumpUntil([&] { return m_boxes.Count() > 0; }));
        EXPECT_EQ(page->m_waiting, 0);
        const auto boxes = m_boxes.Boxes();
        if (boxes.size() != 1)
            return "boxes: " + std::to_string(boxes.size());
        EXPECT_EQ(boxes[0].first, kBoxCaption);
        EXPECT_EQ(boxes[0].second.find("Pa55"), std::string::npos);
        return boxes[0].second;
    }

    cmailthread* m_thread = nullptr;
};

TEST_F(TestMail, IsSentFromWhatThePageShowsWithoutLogon) {
    mailtest::SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();
    const CSetupInfo before = m_setup;
    CDlgSetup dialog;
    CDlgMail* page = Page(dialog);
    Fill(page, server.port(), false, "", "", {"a@example.test", "b@example.test"});

    m_boxes.Clear();
    page->m_sendTest->click();
    EXPECT_EQ(page->m_waiting, 1);
    // A second press before the answer queues nothing.
    page->m_sendTest->click();
    EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{kWaitingMailText});
    m_boxes.Clear();
    ASSERT_TRUE(PumpUntil([&] { return m_boxes.Count() > 0; }));
    EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{kSendMailOkText});
    EXPECT_EQ(page->m_waiting, 0);

    ASSERT_TRUE(server.WaitForMessages(1));
    const auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_FALSE(mails[0].authUser.has_value());
    EXPECT_EQ(mails[0].mailFrom, "monitor@example.test");
    EXPECT_EQ(mails[0].rcptTos, std::vector<std::string>({"a@example.test", "b@example.test"}));
    const auto headers = mails[0].HeaderLines();
    EXPECT_NE(std::find(headers.begin(), headers.end(), "Subject: probe from the setup"),
              headers.end());
    EXPECT_NE(mails[0].Body().find("probe from the setup"), std::string::npos);
    // Nothing of it reached the settings: they change only on OK.
    setuptest::ExpectSameSettings(m_setup, before);
}

TEST_F(TestMail, IsSentWithLogon) {
    mailtest::SmtpServerOptions options;
    options.authUser = "operator";
    options.authPassword = "Very$ecret";
    mailtest::SmtpTestServer server(options);
    ASSERT_TRUE(server.Start()) << server.error();
    CDlgSetup dialog;
    CDlgMail* page = Page(dialog);
    Fill(page, server.port(), true, "operator", "Very$ecret", {"ops@example.test"});
    EXPECT_EQ(SendAndWaitForTheAnswer(page), kSendMailOkText);
    ASSERT_TRUE(server.WaitForMessages(1));
    EXPECT_EQ(server.Received()[0].authUser, std::optional<std::string>("operator"));
}

TEST_F(TestMail, FailuresShowTheirCodeAndReasonAndNeverThePassword) {
    ASSERT_TRUE(g_logFile.Open(m_dir.File("log")));
    // 1: the log-on is refused.
    {
        mailtest::SmtpServerOptions options;
        options.authUser = "operator";
        options.authPassword = "right";
        mailtest::SmtpTestServer server(options);
        ASSERT_TRUE(server.Start()) << server.error();
        CDlgSetup dialog;
        CDlgMail* page = Page(dialog);
        Fill(page, server.port(), true, "operator", "Wrong-Pa55", {"ops@example.test"});
        EXPECT_EQ(SendAndWaitForTheAnswer(page),
                  "Send mail failed! code is 1\n535 5.7.8 Authentication credentials invalid");
    }
    // 2: nobody listens on the port (logon off).
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        const uint16_t closedPort = ntohs(addr.sin_port);
        close(fd);  // bound, never listened: connecting is refused
        CDlgSetup dialog;
        CDlgMail* page = Page(dialog);
        Fill(page, closedPort, false, "", "Wrong-Pa55", {"ops@example.test"});
        EXPECT_EQ(SendAndWaitForTheAnswer(page), "Send mail failed! code is 2\nconnection refused");
    }
    // 3: connected, but the server refuses the only recipient.
    {
        mailtest::SmtpServerOptions options;
        options.refuseRcpt = {"nobody@example.test"};
        mailtest::SmtpTestServer server(options);
        ASSERT_TRUE(server.Start()) << server.error();
        CDlgSetup dialog;
        CDlgMail* page = Page(dialog);
        Fill(page, server.port(), false, "", "Wrong-Pa55", {"nobody@example.test"});
        EXPECT_EQ(SendAndWaitForTheAnswer(page),
                  "Send mail failed! code is 3\n550 5.1.1 Recipient refused");
    }
    // The log has the same line as for a failed alert mail.
    g_logFile.Close();
    std::ostringstream log;
    log << std::ifstream(m_dir.File("log")).rdbuf();
    EXPECT_NE(
        log.str().find("MAIL: FAILED 2 127.0.0.1 probe from the setup (connection refused)\r\n"),
        std::string::npos)
        << log.str();
}

TEST_F(TestMail, APortThatDoesNotFitIsRefusedBeforeAnythingIsQueued) {
    CDlgSetup dialog;
    CDlgMail* page = Page(dialog);
    Fill(page, 25, false, "", "", {"ops@example.test"});
    Type(page->m_smtpPort, "65561");  // would be port 25 if cut to 16 bits
    const uint32_t queuedBefore = m_thread->writeIndex();
    page->m_sendTest->click();
    EXPECT_EQ(page->m_waiting, 0);
    EXPECT_EQ(m_thread->writeIndex(), queuedBefore);
    EXPECT_EQ(m_boxes.Texts(),
              std::vector<std::string>{"Port must be a whole number from 0 to 65535."});
}

TEST_F(TestMail, ClosingTheDialogWhileTheMailIsPendingIsSafe) {
    mailtest::SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();
    auto dialog = std::make_unique<CDlgSetup>();
    CDlgMail* page = Page(*dialog);
    Fill(page, server.port(), false, "", "", {"late@example.test"});
    page->m_sendTest->click();
    ASSERT_EQ(page->m_waiting, 1);
    dialog->reject();
    dialog.reset();  // the page is gone before the answer comes

    ASSERT_TRUE(server.WaitForMessages(1));
    // The answer is posted to nobody: wait until the job is done and its event would have
    // been handled.
    ASSERT_TRUE(PumpUntil([&] { return m_thread->readIndex() == m_thread->writeIndex(); }));
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    EXPECT_TRUE(m_boxes.Texts().empty());

    // The next dialog starts without a waiting test mail.
    CDlgSetup next;
    EXPECT_EQ(Page(next)->m_waiting, 0);
}

}  // namespace
