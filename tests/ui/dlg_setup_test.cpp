// The Setup dialog and its General, Exec, Mail Down and Mail Up pages: loading when the
// dialog opens, saving only on OK, the keys inside a page, the refused numbers, the log
// file, the bits the General page does not own and the line ends of the texts.
#include "ui/dlg_setup.h"

#include <fstream>
#include <sstream>
#include <string>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "config/registry_storage.h"
#include "ui/corvantis_view.h"
#include "ui/dlg_exec_mail_texts.h"
#include "ui/dlg_gen.h"
#include "ui/dlg_mail.h"
#include "ui/ui_setup_hooks.h"
#include "ui/setup_dialog_fixture.h"

namespace {

using setuptest::ChooseInFileDialog;
using setuptest::ExpectSameSettings;
using setuptest::WhenModal;

class SetupDialog : public setuptest::SetupDialogTest {
protected:
    static CDlgGen* Gen(CDlgSetup& d) { return static_cast<CDlgGen*>(d.tabCtrl()->page(0)); }
    static CDlgExec* Exec(CDlgSetup& d) { return static_cast<CDlgExec*>(d.tabCtrl()->page(1)); }
    static CDlgMail* Mail(CDlgSetup& d) { return static_cast<CDlgMail*>(d.tabCtrl()->page(2)); }
    static CDlgMailDown* Down(CDlgSetup& d) {
        return static_cast<CDlgMailDown*>(d.tabCtrl()->page(3));
    }
    static CDlgMailUP* Up(CDlgSetup& d) { return static_cast<CDlgMailUP*>(d.tabCtrl()->page(4)); }

    static void Type(QLineEdit* edit, const QString& text) {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    static void TypeLines(QPlainTextEdit* edit, const QStringList& lines) {
        edit->clear();
        for (int i = 0; i < lines.size(); ++i) {
            if (i > 0)
                QTest::keyClick(edit, Qt::Key_Return);
            QTest::keyClicks(edit, lines[i]);
        }
    }
    static void SetCheck(QCheckBox* box, bool on) {
        if (box->isChecked() != on)
            box->click();
    }
    std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

// A record far from the defaults, with text in an encoding other than UTF-8 and bits in
// start_set and reserve2 that no page owns.
CSetupInfo UnusualRecord(const std::string& logPath) {
    CSetupInfo s;
    s.popupbox = 1;
    s.exefilename = "/opt/caf\xe9/notify";  // Latin-1, not UTF-8
    s.beepbreak = 0;
    s.beepseconds = 12;
    s.continuelost = 9;
    s.lostrate = 40;
    s.logfilename = logPath;
    s.execpara = "first\r\nsecond";
    s.smtpserver = "127.0.0.1";
    s.smtpport = 2525;
    s.pass = "pa\xdfword";
    s.emailcount = 2;
    s.emailto[0] = "legacy@example.test";
    s.reserveint[3] = 77;
    s.reservetext[2] = "kept";
    s.start_set = 0x100 | kStartSetAutoStart;
    s.reserve2 = 0x8004;
    s.newemailcount = 2;
    s.newemailto[0] = "one@example.test";
    s.emailgrouplist[0] = 3;
    s.newemailto[1] = "two@example.test";
    s.emailgrouplist[1] = -7;  // came in through an import; kept as it is
    s.ColumnWidth[2] = 120;
    return s;
}

TEST_F(SetupDialog, OpensWithTheFivePagesInOrderAndTheirFieldsFilled) {
    m_setup = UnusualRecord(m_dir.File("a.log"));
    CDlgSetup dialog;
    EXPECT_EQ(dialog.windowTitle(), "Setup");
    EXPECT_EQ(dialog.okButton()->text(), "OK");
    EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
    ASSERT_EQ(dialog.tabCtrl()->count(), 5);
    const char* titles[] = {"General", "Exec", "Mail", "Mail Down", "Mail Up"};
    const int templates[] = {149, 153, 148, 147, 150};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(dialog.tabCtrl()->tabText(i).toStdString(), titles[i]);
        EXPECT_EQ(dialog.tabCtrl()->page(i)->templateId(), templates[i]);
    }
    EXPECT_EQ(dialog.tabCtrl()->currentPage(), 0);

    EXPECT_TRUE(Gen(dialog)->m_popupBox->isChecked());
    EXPECT_FALSE(Gen(dialog)->m_runAtStartup->isChecked());
    EXPECT_TRUE(Gen(dialog)->m_autoStart->isChecked());
    EXPECT_TRUE(Gen(dialog)->m_duration->isChecked());
    EXPECT_TRUE(Gen(dialog)->m_beepSeconds->isEnabled());
    EXPECT_EQ(Gen(dialog)->m_beepSeconds->text(), "12");
    EXPECT_EQ(Gen(dialog)->m_exeFileName->text(), QString::fromLatin1("/opt/caf\xe9/notify"));
    EXPECT_EQ(Exec(dialog)->m_parameter->toPlainText(), "first\nsecond");
    EXPECT_EQ(Mail(dialog)->m_smtpPort->text(), "2525");
    EXPECT_EQ(Mail(dialog)->m_pass->echoMode(), QLineEdit::Password);
    ASSERT_EQ(Mail(dialog)->m_list->topLevelItemCount(), 2);
    EXPECT_EQ(Mail(dialog)->m_list->topLevelItem(1)->text(1), "-7");
    EXPECT_EQ(Mail(dialog)->m_list->headerItem()->text(0), "Mail Address");
    EXPECT_EQ(Mail(dialog)->m_list->headerItem()->text(1), "Mail Group ID");
    EXPECT_EQ(Down(dialog)->m_subject->text().toStdString(), kDefaultDownSubject);
    EXPECT_EQ(Up(dialog)->m_body->toPlainText().count('\n'), 4);
}

TEST_F(SetupDialog, EveryFieldChangedThenOkHoldsExactlyTheNewValuesAndIsStored) {
    m_setup.newemailcount = 1;
    m_setup.newemailto[0] = "old@example.test";
    m_setup.emailgrouplist[0] = 4;
    m_setup.start_set = kStartSetRunAtLogon | kStartSetAutoStart;
    const std::string logPath = m_dir.File("events.log");

    CSetupInfo want = m_setup;
    want.start_set = 0;
    want.sendmail = 0;
    want.runexe = 1;
    want.exefilename = "/usr/bin/logger";
    want.popupbox = 1;
    want.beep = 0;
    want.beepbreak = 0;
    want.beepseconds = 42;
    want.needlostcount = 0;
    want.continuelost = 7;
    want.needlostrate = 0;
    want.lostrate = 33;
    want.logfilename = logPath;
    want.logall = 1;
    want.logchange = 0;
    want.lognotify = 0;
    want.reserve2 = kReserve2CsvLog;
    want.execpara = "HOST=<HOST>\r\nsecond line";
    want.smtpserver = "127.0.0.1";
    want.smtpport = 2525;
    want.emailfrom = "monitor@example.test";
    want.emailName = "Night Watch";
    want.auth = 1;
    want.user = "operator";
    want.pass = "s3cret!";
    want.mail_highpriority = 0;
    want.bneedloopmail = 1;
    want.loopemailint = 15;
    want.testsubject = "hello test";
    want.newemailcount = 2;
    want.newemailto[0] = "a@example.test";
    want.emailgrouplist[0] = 1;
    want.newemailto[1] = "b@example.test";
    want.emailgrouplist[1] = 2;
    want.downsubject = "DOWN <NAME>";
    want.downbody = "line one\r\nline two\r\n";
    want.upsubject = "UP <NAME>";
    want.upbody = "back\r\n\r\nagain";

    ASSERT_EQ(SetRunAtLogon(2), 1);
    CCorvantisView view;
    bool acted = false;
    WhenModal<CDlgSetup>([&](CDlgSetup* d) {
        acted = true;
        CDlgGen* gen = Gen(*d);
        SetCheck(gen->m_runAtStartup, false);
        SetCheck(gen->m_autoStart, false);
        SetCheck(gen->m_sendMail, false);
        SetCheck(gen->m_runExe, true);
        Type(gen->m_exeFileName, "/usr/bin/logger");
        SetCheck(gen->m_popupBox, true);
        SetCheck(gen->m_beep, false);
        gen->m_duration->click();
        Type(gen->m_beepSeconds, "42");
        SetCheck(gen->m_needLostCount, false);
        Type(gen->m_continueLost, "7");
        SetCheck(gen->m_needLostRate, false);
        Type(gen->m_lostRate, "33");
        Type(gen->m_logFileName, QString::fromStdString(logPath));
        SetCheck(gen->m_csv, true);
        SetCheck(gen->m_logAll, true);
        SetCheck(gen->m_logChange, false);
        SetCheck(gen->m_logNotify, false);

        d->tabCtrl()->setCurrentIndex(1);
        TypeLines(Exec(*d)->m_parameter, {"HOST=<HOST>", "second line"});

        d->tabCtrl()->setCurrentIndex(2);
        CDlgMail* mail = Mail(*d);
        Type(mail->m_smtpServer, "127.0.0.1");
        Type(mail->m_smtpPort, "2525");
        Type(mail->m_emailFrom, "monitor@example.test");
        Type(mail->m_emailName, "Night Watch");
        SetCheck(mail->m_auth, true);
        Type(mail->m_user, "operator");
        Type(mail->m_pass, "s3cret!");
        SetCheck(mail->m_highPriority, false);
        SetCheck(mail->m_loopMail, true);
        Type(mail->m_loopInterval, "15");
        Type(mail->m_testSubject, "hello test");
        mail->m_list->topLevelItem(0)->setSelected(true);
        mail->m_delete->click();
        for (const auto& [address, group] :
             {std::pair{"a@example.test", "1"}, std::pair{"b@example.test", "2"}}) {
            WhenModal<CDlgAddMail>([address, group](CDlgAddMail* add) {
                Type(add->m_address, address);
                Type(add->m_group, group);
                add->m_apply->click();
            });
            mail->m_add->click();
        }

        d->tabCtrl()->setCurrentIndex(3);
        Type(Down(*d)->m_subject, "DOWN <NAME>");
        TypeLines(Down(*d)->m_body, {"line one", "line two", ""});
        d->tabCtrl()->setCurrentIndex(4);
        Type(Up(*d)->m_subject, "UP <NAME>");
        TypeLines(Up(*d)->m_body, {"back", "", "again"});

        d->okButton()->click();
    });
    view.OnSetup();
    ASSERT_TRUE(acted);

    ExpectSameSettings(m_setup, want);
    EXPECT_EQ(g_bSetupModified, 1);
    EXPECT_TRUE(g_logFile.IsOpen());
    EXPECT_EQ(g_logFile.FileName(), logPath);
    EXPECT_TRUE(m_boxes.Texts().empty());
    EXPECT_EQ(ClearRunAtLogon(), 0) << "OK removed the run-at-logon entry";

    // The next save stores exactly these values.
    SaveSetupIfModified();
    EXPECT_EQ(g_bSetupModified, 0);
    const int length = LoadRegistryBlob(g_setupBuffer, kMaxSetupLength);
    ASSERT_GT(length, 0);
    ParsedSetup parsed;
    ASSERT_EQ(ParseSetupDocument(g_setupBuffer.data(), static_cast<size_t>(length), 0, parsed), 0);
    ExpectSameSettings(parsed.settings, want);
}

TEST_F(SetupDialog, CancelEnterOnAFocusedCancelEscAndTheCloseBoxChangeNothing) {
    m_setup = UnusualRecord(m_dir.File("a.log"));
    const CSetupInfo before = m_setup;
    CCorvantisView view;
    for (int way = 0; way < 4; ++way) {
        WhenModal<CDlgSetup>([way](CDlgSetup* d) {
            Type(Gen(*d)->m_beepSeconds, "99");
            Type(Mail(*d)->m_smtpServer, "changed.example.test");
            Mail(*d)->m_list->topLevelItem(0)->setSelected(true);
            Mail(*d)->m_delete->click();
            Type(Down(*d)->m_subject, "changed");
            if (way == 0)
                d->cancelButton()->click();
            else if (way == 1)
                QTest::keyClick(d->okButton(), Qt::Key_Escape);
            else if (way == 2)
                d->close();
            else {
                d->cancelButton()->setFocus(Qt::TabFocusReason);
                ASSERT_EQ(d->focusWidget(), d->cancelButton());
                QTest::keyClick(d->focusWidget(), Qt::Key_Return);
            }
        });
        view.OnSetup();
        ExpectSameSettings(m_setup, before);
        EXPECT_EQ(g_bSetupModified, 0) << way;
    }
    EXPECT_FALSE(g_logFile.IsOpen());
}

TEST_F(SetupDialog, OkWithoutChangeKeepsEveryByteAndReopensTheLog) {
    const std::string logPath = m_dir.File("kept.log");
    { std::ofstream(logPath, std::ios::binary) << "earlier line\r\n"; }
    m_setup = UnusualRecord(logPath);
    const CSetupInfo before = m_setup;
    CDlgSetup dialog;
    // Pages never shown are saved too, from what they were filled with.
    dialog.OnButtonOK();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    ExpectSameSettings(m_setup, before);
    ASSERT_TRUE(g_logFile.IsOpen());
    EXPECT_TRUE(g_logFile.WriteLine("appended"));
    EXPECT_EQ(ReadFile(logPath), "earlier line\r\nappended\r\n");
}

TEST_F(SetupDialog, StoredValuesThatTypingCouldNotGiveAreSavedBackUnchanged) {
    // What an older document or an imported file may hold; the duration and the mail
    // interval sit in disabled fields ("Until By Breaking", "Constant Mail" off).
    m_setup.beepbreak = 1;
    m_setup.beepseconds = -1;
    m_setup.bneedloopmail = 0;
    m_setup.loopemailint = -2147483647 - 1;
    m_setup.lostrate = 150;
    m_setup.smtpport = 0;
    m_setup.newemailcount = 1;
    m_setup.newemailto[0] = "ops@example.test";
    m_setup.emailgrouplist[0] = 70000;
    g_bSetupModified = 1;
    SaveSetupIfModified();
    ASSERT_EQ(g_bSetupModified, 0);
    // Loaded into a fresh record as the program loads it at start.
    m_setup = CSetupInfo();
    g_setupLength = LoadRegistryBlob(g_setupBuffer, kMaxSetupLength);
    ASSERT_GT(g_setupLength, 0);
    ASSERT_EQ(LoadSetupFromBuffer(), 0);
    CSetupInfo want = m_setup;
    ASSERT_EQ(want.lostrate, 150);
    want.newemailto[0] = "night@example.test";

    CCorvantisView view;
    WhenModal<CDlgSetup>([](CDlgSetup* d) {
        EXPECT_FALSE(Gen(*d)->m_beepSeconds->isEnabled());
        EXPECT_FALSE(Mail(*d)->m_loopInterval->isEnabled());
        // Editing only the address keeps the recipient's group id.
        WhenModal<CDlgAddMail>([](CDlgAddMail* add) {
            Type(add->m_address, "night@example.test");
            add->m_apply->click();
            if (add->isVisible())
                add->reject();
        });
        Mail(*d)->OnEditRecipient(0);
        d->okButton()->click();
        if (d->isVisible())
            d->reject();
    });
    view.OnSetup();
    EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{});
    EXPECT_EQ(g_bSetupModified, 1);
    ExpectSameSettings(m_setup, want);
}

TEST_F(SetupDialog, EnterAndEscInsideAPageDoNotEndTheDialog) {
    CDlgSetup dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    bool ended = false;
    QObject::connect(&dialog, &QDialog::finished, [&] { ended = true; });

    QTest::keyClick(Gen(dialog)->m_logFileName, Qt::Key_Return);
    QTest::keyClick(Gen(dialog)->m_logFileName, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(Gen(dialog)->m_csv, Qt::Key_Return);
    QTest::keyClick(Gen(dialog)->m_logFileName, Qt::Key_Escape);
    dialog.tabCtrl()->setCurrentIndex(2);
    QTest::keyClick(Mail(dialog)->m_list, Qt::Key_Escape);
    QTest::keyClick(Mail(dialog)->m_smtpServer, Qt::Key_Return);
    EXPECT_FALSE(ended);
    EXPECT_TRUE(dialog.isVisible());

    // A multi-line editor takes Enter as a line break, stored with CR LF.
    dialog.tabCtrl()->setCurrentIndex(3);
    QPlainTextEdit* body = Down(dialog)->m_body;
    body->clear();
    QTest::keyClicks(body, "a");
    QTest::keyClick(body, Qt::Key_Return);
    QTest::keyClicks(body, "b");
    EXPECT_FALSE(ended);
    QTest::keyClick(dialog.okButton(), Qt::Key_Return);
    EXPECT_TRUE(ended);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(m_setup.downbody, "a\r\nb");
}

TEST_F(SetupDialog, SwitchingPagesKeepsWhatWasTypedOnHiddenOnes) {
    CDlgSetup dialog;
    dialog.show();
    Type(Gen(dialog)->m_continueLost, "11");
    dialog.tabCtrl()->setCurrentIndex(4);
    EXPECT_FALSE(Gen(dialog)->isVisible());
    EXPECT_TRUE(Up(dialog)->isVisible());
    // Ctrl+Tab from inside a page moves to the next page, wrapping round.
    QTest::keyClick(Up(dialog)->m_subject, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(dialog.tabCtrl()->currentPage(), 0);
    EXPECT_EQ(Gen(dialog)->m_continueLost->text(), "11");
    EXPECT_EQ(dialog.tabCtrl()->tabBar()->focusPolicy(), Qt::NoFocus);

    // A page shown by a click on its tab takes the focus at its first field.
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    Gen(dialog)->m_logFileName->setFocus();
    QTest::mouseClick(dialog.tabCtrl()->tabBar(), Qt::LeftButton, Qt::NoModifier,
                      dialog.tabCtrl()->tabBar()->tabRect(2).center());
    EXPECT_EQ(dialog.tabCtrl()->currentPage(), 2);
    EXPECT_EQ(QApplication::focusWidget(), Mail(dialog)->m_smtpServer);
}

struct RefusedNumber {
    int page;
    const char* field;
    const char* typed;
    const char* message;
};

TEST_F(SetupDialog, TypedNumbersTheirFieldsCannotHoldAreRefusedAndNothingIsSaved) {
    const char* const kInt32 = " must be a whole number from -2147483648 to 2147483647.";
    const std::string duration = std::string("Sound duration (seconds)") + kInt32;
    const std::string continuous = std::string("Continuous Lost") + kInt32;
    const std::string rate = std::string("Lost rate (%)") + kInt32;
    const std::string loop = std::string("MAIL Interval (minutes)") + kInt32;
    const RefusedNumber cases[] = {
        {0, "beepSeconds", "4294967297", duration.c_str()},
        {0, "continueLost", "-2147483649", continuous.c_str()},
        {0, "lostRate", "2147483648", rate.c_str()},
        {2, "smtpPort", "65536", "Port must be a whole number from 0 to 65535."},
        {2, "smtpPort", "-1", "Port must be a whole number from 0 to 65535."},
        {2, "loopInterval", "99999999999999999999999", loop.c_str()},
    };
    m_setup = UnusualRecord(m_dir.File("never.log"));
    const CSetupInfo before = m_setup;
    for (const RefusedNumber& c : cases) {
        m_boxes.Clear();
        CDlgSetup dialog;
        dialog.show();
        // Something on an earlier page changed too: it must not be saved either.
        Type(Gen(dialog)->m_exeFileName, "/changed");
        Mail(dialog)->m_loopMail->click();  // "Constant Mail" on: its interval can be typed in
        auto* edit = dialog.tabCtrl()->page(c.page)->findChild<QLineEdit*>(c.field);
        ASSERT_NE(edit, nullptr) << c.field;
        ASSERT_TRUE(edit->isEnabled()) << c.field;
        Type(edit, c.typed);
        dialog.tabCtrl()->setCurrentIndex(c.page == 0 ? 3 : 0);
        dialog.OnButtonOK();
        EXPECT_TRUE(dialog.isVisible()) << c.field << " " << c.typed;
        EXPECT_EQ(dialog.result(), 0);
        ASSERT_EQ(m_boxes.Boxes().size(), 1u) << c.typed;
        EXPECT_EQ(m_boxes.Boxes()[0].first, kBoxCaption);
        EXPECT_EQ(m_boxes.Boxes()[0].second, c.message);
        EXPECT_EQ(dialog.tabCtrl()->currentPage(), c.page);
        EXPECT_EQ(dialog.focusWidget(), edit);
        ExpectSameSettings(m_setup, before);
        EXPECT_FALSE(g_logFile.IsOpen());
    }

    // Typed into, then switched off: the focus goes to the switch that turns it on again.
    CDlgSetup dialog;
    dialog.show();
    Type(Gen(dialog)->m_beepSeconds, "4294967297");
    Gen(dialog)->m_untilBroken->click();
    dialog.OnButtonOK();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(m_boxes.Texts().back(), duration);
    EXPECT_EQ(dialog.focusWidget(), Gen(dialog)->m_duration);
    Gen(dialog)->m_duration->click();
    Type(Gen(dialog)->m_beepSeconds, "30");
    Mail(dialog)->m_loopMail->click();
    Type(Mail(dialog)->m_loopInterval, "4294967296");
    Mail(dialog)->m_loopMail->click();
    dialog.OnButtonOK();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(m_boxes.Texts().back(), loop);
    EXPECT_EQ(dialog.focusWidget(), Mail(dialog)->m_loopMail);
    ExpectSameSettings(m_setup, before);
}

TEST_F(SetupDialog, TypedNumbersAreReadAsTheClassicConversionReadsThemAndSavedAsTyped) {
    CDlgSetup dialog;
    Gen(dialog)->m_duration->click();
    Mail(dialog)->m_loopMail->click();
    Type(Gen(dialog)->m_beepSeconds, " 2147483647 ");
    Type(Gen(dialog)->m_continueLost, "-2147483648");
    Type(Gen(dialog)->m_lostRate, "150");
    Type(Mail(dialog)->m_smtpPort, "65535");
    Type(Mail(dialog)->m_loopInterval, "12 minutes");
    dialog.OnButtonOK();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(m_boxes.Texts().empty());
    EXPECT_EQ(m_setup.beepseconds, 2147483647);
    EXPECT_EQ(m_setup.continuelost, -2147483647 - 1);
    EXPECT_EQ(m_setup.lostrate, 150);
    EXPECT_EQ(m_setup.smtpport, 65535);
    EXPECT_EQ(m_setup.loopemailint, 12);

    CDlgSetup second;
    Type(Gen(second)->m_beepSeconds, "0");
    Type(Gen(second)->m_continueLost, "none");
    Type(Mail(second)->m_smtpPort, "");
    second.OnButtonOK();
    EXPECT_EQ(second.result(), QDialog::Accepted);
    EXPECT_EQ(m_setup.beepseconds, 0);
    EXPECT_EQ(m_setup.continuelost, 0);
    EXPECT_EQ(m_setup.smtpport, 0);
}

TEST_F(SetupDialog, SpinArrowsStepByOneNeverBelowOneNorAboveTheField) {
    CDlgSetup dialog;
    CDlgGen* gen = Gen(dialog);
    gen->m_duration->click();
    Mail(dialog)->m_loopMail->click();
    auto up = [](CSpinArrows* s) { static_cast<QAbstractButton*>(s->upButton())->click(); };
    auto down = [](CSpinArrows* s) { static_cast<QAbstractButton*>(s->downButton())->click(); };

    Type(gen->m_continueLost, "3");
    up(gen->m_continueSpin);
    EXPECT_EQ(gen->m_continueLost->text(), "4");
    down(gen->m_continueSpin);
    down(gen->m_continueSpin);
    down(gen->m_continueSpin);
    down(gen->m_continueSpin);
    EXPECT_EQ(gen->m_continueLost->text(), "1");
    Type(gen->m_continueLost, "-20");
    down(gen->m_continueSpin);
    EXPECT_EQ(gen->m_continueLost->text(), "1");
    Type(gen->m_continueLost, "nothing");
    up(gen->m_continueSpin);
    EXPECT_EQ(gen->m_continueLost->text(), "1");
    Type(gen->m_continueLost, "2147483647");
    up(gen->m_continueSpin);
    EXPECT_EQ(gen->m_continueLost->text(), "2147483647");
    Type(gen->m_continueLost, "99999999999999999999999");
    up(gen->m_continueSpin);
    EXPECT_EQ(gen->m_continueLost->text(), "2147483647");

    // A rate has no upper limit: the arrows pass 100 and stop only where the field does.
    Type(gen->m_lostRate, "100");
    up(gen->m_lostRateSpin);
    EXPECT_EQ(gen->m_lostRate->text(), "101");
    Type(gen->m_lostRate, "2147483647");
    up(gen->m_lostRateSpin);
    EXPECT_EQ(gen->m_lostRate->text(), "2147483647");
    Type(gen->m_beepSeconds, "9");
    up(gen->m_beepSpin);
    EXPECT_EQ(gen->m_beepSeconds->text(), "10");
    Type(Mail(dialog)->m_loopInterval, "2");
    down(Mail(dialog)->m_loopSpin);
    down(Mail(dialog)->m_loopSpin);
    EXPECT_EQ(Mail(dialog)->m_loopInterval->text(), "1");

    // Typed by hand, 0 is kept as typed (the arrows only never produce it).
    Type(gen->m_continueLost, "0");
    dialog.OnButtonOK();
    EXPECT_EQ(m_setup.continuelost, 0);
}

TEST_F(SetupDialog, GeneralPageKeepsTheBitsItDoesNotOwn) {
    struct Case {
        int32_t startSet;
        bool runAtStartup, autoStart;
        int32_t wantStartSet;
        uint16_t reserve2;
        bool csv;
        uint16_t wantReserve2;
    };
    const Case cases[] = {
        {0x7FFFFF00 | 3, false, false, 0x7FFFFF00, 0xFFFF, false, 0xFFFE},
        {0x10, true, false, 0x11, 0x8000, true, 0x8001},
        {-1, true, true, -1, 0, true, 1},
        {-1, false, true, ~1, 0x0101, false, 0x0100},
    };
    for (const Case& c : cases) {
        m_setup.start_set = c.startSet;
        m_setup.reserve2 = c.reserve2;
        CDlgSetup dialog;
        SetCheck(Gen(dialog)->m_runAtStartup, c.runAtStartup);
        SetCheck(Gen(dialog)->m_autoStart, c.autoStart);
        SetCheck(Gen(dialog)->m_csv, c.csv);
        dialog.OnButtonOK();
        EXPECT_EQ(m_setup.start_set, c.wantStartSet) << c.startSet;
        EXPECT_EQ(m_setup.reserve2, c.wantReserve2) << c.reserve2;
    }
}

TEST_F(SetupDialog, UntilBrokenDisablesTheDurationButItIsStillSaved) {
    CDlgSetup dialog;
    CDlgGen* gen = Gen(dialog);
    gen->m_duration->click();
    EXPECT_TRUE(gen->m_beepSeconds->isEnabled());
    EXPECT_TRUE(gen->m_beepSpin->isEnabled());
    Type(gen->m_beepSeconds, "77");
    gen->m_untilBroken->click();
    EXPECT_FALSE(gen->m_beepSeconds->isEnabled());
    EXPECT_FALSE(gen->m_beepSpin->isEnabled());
    dialog.OnButtonOK();
    EXPECT_EQ(m_setup.beepbreak, 1);
    EXPECT_EQ(m_setup.beepseconds, 77);
}

TEST_F(SetupDialog, LogFileThatCannotBeOpenedIsShownAndTheRestIsStillSaved) {
    const std::string bad = m_dir.File("no-such-dir/x.log");
    CDlgSetup dialog;
    Type(Gen(dialog)->m_logFileName, QString::fromStdString(bad));
    Type(Mail(dialog)->m_smtpServer, "after.example.test");
    Type(Up(dialog)->m_subject, "last page");
    dialog.OnButtonOK();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    ASSERT_EQ(m_boxes.Boxes().size(), 1u);
    EXPECT_EQ(m_boxes.Boxes()[0].first, kBoxCaption);
    EXPECT_EQ(m_boxes.Boxes()[0].second, "OPEN log file of   " + bad + "   failed!");
    EXPECT_FALSE(g_logFile.IsOpen());
    EXPECT_EQ(m_setup.logfilename, bad);
    EXPECT_EQ(m_setup.smtpserver, "after.example.test");
    EXPECT_EQ(m_setup.upsubject, "last page");

    // Clearing the name closes the log without a word.
    ASSERT_TRUE(g_logFile.Open(m_dir.File("open.log")));
    m_boxes.Clear();
    m_setup.logfilename = m_dir.File("open.log");
    CDlgSetup second;
    Type(Gen(second)->m_logFileName, "");
    second.OnButtonOK();
    EXPECT_FALSE(g_logFile.IsOpen());
    EXPECT_TRUE(m_boxes.Texts().empty());
    EXPECT_EQ(m_setup.logfilename, "");
}

TEST_F(SetupDialog, BrowseFillsTheEditAndACancelledBrowseLeavesIt) {
    const std::string program = m_dir.File("alert-program");
    { std::ofstream(program) << "#!/bin/sh\n"; }
    CDlgSetup dialog;
    CDlgGen* gen = Gen(dialog);
    Type(gen->m_logFileName, "/keep/me.log");
    WhenModal<QFileDialog>([](QFileDialog* d) {
        EXPECT_TRUE(d->nameFilters().contains("log file (*.log)"));
        EXPECT_EQ(d->defaultSuffix(), "log");
        d->reject();
    });
    gen->m_browseLog->click();
    EXPECT_EQ(gen->m_logFileName->text(), "/keep/me.log");

    // A log file that does not exist yet may be chosen.
    const QString fresh = QString::fromStdString(m_dir.File("fresh.log"));
    WhenModal<QFileDialog>([fresh](QFileDialog* d) { ChooseInFileDialog(d, fresh); });
    gen->m_browseLog->click();
    EXPECT_EQ(gen->m_logFileName->text().toStdString(), fresh.toStdString());

    WhenModal<QFileDialog>([&](QFileDialog* d) {
        EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
        ChooseInFileDialog(d, QString::fromStdString(program));
    });
    gen->m_browseExe->click();
    EXPECT_EQ(gen->m_exeFileName->text().toStdString(), program);
    // Only OK stores what was browsed.
    EXPECT_EQ(m_setup.exefilename, "");
}

TEST_F(SetupDialog, TextPagesKeepCrLfLineEndsAndEveryCharacter) {
    const std::string longSubject(40000, 'x');
    m_setup.execpara = "HOST=<HOST>\r\n\"EVENT=<EVENT>\"\r\n";
    m_setup.downbody = "one\ntwo\rthree\r\nfour";  // mixed line ends from an import
    m_setup.downsubject = longSubject;
    m_setup.upbody =
        "non\xc2\xa0"
        "breaking\r\n\tindented <LOST RATE> <MISPELT>";
    m_setup.upsubject = "";
    CDlgSetup dialog;
    EXPECT_EQ(Exec(dialog)->m_parameter->toPlainText(), "HOST=<HOST>\n\"EVENT=<EVENT>\"\n");
    EXPECT_EQ(Down(dialog)->m_body->toPlainText(), "one\ntwo\nthree\nfour");
    dialog.OnButtonOK();
    EXPECT_EQ(m_setup.execpara, "HOST=<HOST>\r\n\"EVENT=<EVENT>\"\r\n");
    EXPECT_EQ(m_setup.downbody, "one\r\ntwo\r\nthree\r\nfour");
    EXPECT_EQ(m_setup.downsubject, longSubject);
    EXPECT_EQ(m_setup.upbody,
              "non\xc2\xa0"
              "breaking\r\n\tindented <LOST RATE> <MISPELT>");
    EXPECT_EQ(m_setup.upsubject, "");

    // The same after a second round through the dialog.
    const CSetupInfo once = m_setup;
    CDlgSetup again;
    again.OnButtonOK();
    ExpectSameSettings(m_setup, once);
}

}  // namespace
