#include "config/setup_info.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(SetupInfoTest, SwitchesAndNumbersStartAtTheirDefaults) {
    CSetupInfo s;
    EXPECT_EQ(s.popupbox, 0);
    EXPECT_EQ(s.sendmail, 1);
    EXPECT_EQ(s.runexe, 0);
    EXPECT_EQ(s.beep, 1);
    EXPECT_EQ(s.beepbreak, 1);
    EXPECT_EQ(s.beepseconds, 100);
    EXPECT_EQ(s.needlostcount, 1);
    EXPECT_EQ(s.continuelost, 3);
    EXPECT_EQ(s.needlostrate, 1);
    EXPECT_EQ(s.lostrate, 5);
    EXPECT_EQ(s.logall, 0);
    EXPECT_EQ(s.logchange, 1);
    EXPECT_EQ(s.lognotify, 1);
    EXPECT_EQ(s.smtpport, 25);
    EXPECT_EQ(s.auth, 0);
    EXPECT_EQ(s.emailcount, 0);
    EXPECT_EQ(s.emailint, 1);
    EXPECT_EQ(s.bneedloopmail, 0);
    EXPECT_EQ(s.loopemailint, 1);
    EXPECT_EQ(s.start_set, 3);
    EXPECT_EQ(s.mail_highpriority, 1);
    EXPECT_EQ(s.reserve2, 0);
    EXPECT_EQ(s.newemailcount, 0);
    EXPECT_EQ(s.signint, 3);
    for (int32_t v : s.reserveint)
        EXPECT_EQ(v, 0);
    for (int32_t v : s.emailgrouplist)
        EXPECT_EQ(v, 0);
    // Widths start defined, so an export of a fresh record writes zeros.
    for (uint16_t w : s.ColumnWidth)
        EXPECT_EQ(w, 0);
}

// The stored forms write these fields with exactly these widths.
static_assert(sizeof(CSetupInfo::popupbox) == 1 && sizeof(CSetupInfo::emailcount) == 1 &&
              sizeof(CSetupInfo::emailint) == 1);
static_assert(sizeof(CSetupInfo::smtpport) == 2 && sizeof(CSetupInfo::mail_highpriority) == 2 &&
              sizeof(CSetupInfo::reserve2) == 2 && sizeof(CSetupInfo::ColumnWidth) == 16);
static_assert(sizeof(CSetupInfo::beepseconds) == 4 && sizeof(CSetupInfo::start_set) == 4 &&
              sizeof(CSetupInfo::newemailcount) == 4 && sizeof(CSetupInfo::signint) == 4);

TEST(SetupInfoTest, TextsStartEmptyExceptTheMailTexts) {
    CSetupInfo s;
    for (const std::string* t :
         {&s.exefilename, &s.logfilename, &s.smtpserver, &s.emailfrom, &s.user, &s.pass})
        EXPECT_TRUE(t->empty());
    for (const std::string& t : s.emailto)
        EXPECT_TRUE(t.empty());
    for (const std::string& t : s.newemailto)
        EXPECT_TRUE(t.empty());
    for (const std::string& t : s.reservetext)
        EXPECT_TRUE(t.empty());
    EXPECT_EQ(s.testsubject, "send a test Email");
    EXPECT_EQ(s.downsubject, "the host of <HOST> is down");
    EXPECT_EQ(s.upsubject, "the host of <HOST> is up");
    EXPECT_EQ(s.emailName, "Velmora Administrators");
}

TEST(SetupInfoTest, ProgramParametersAreByteExact) {
    CSetupInfo s;
    const std::string expected =
        "HOST=<HOST> \"DATATIME=<DATE TIME>\" \"EVENT=<EVENT>\" LOSTRATE=<LOST RATE>";
    EXPECT_EQ(s.execpara, expected);
    EXPECT_EQ(s.execpara.size(), 71u);
}

TEST(SetupInfoTest, MailBodiesAreFiveCrLfLinesWithoutTrailingBreak) {
    CSetupInfo s;
    const std::string expected =
        "the name is <NAME>\r\nthe IP address is <HOST>\r\nthe datetime is <DATE TIME>\r\n"
        "the EVENT is <EVENT>\r\nthe lost rate is <LOST RATE>";
    EXPECT_EQ(s.downbody, expected);
    EXPECT_EQ(s.upbody, expected);
    EXPECT_EQ(s.downbody.size(), 125u);
    // No bare LF anywhere: every LF is preceded by CR.
    for (size_t i = 0; i < s.downbody.size(); ++i)
        if (s.downbody[i] == '\n') {
            EXPECT_EQ(s.downbody[i - 1], '\r') << "at " << i;
        }
    EXPECT_NE(s.downbody.back(), '\n');
}

TEST(SetupInfoTest, AssigningAFreshRecordRestoresEveryDefault) {
    CSetupInfo s;
    s.sendmail = 0;
    s.logfilename = "/tmp/x.log";
    s.newemailcount = 2;
    s.newemailto[1] = "a@example.org";
    s.emailgrouplist[1] = 7;
    s.ColumnWidth[3] = 120;
    s.downbody = "changed";
    CSetupInfo copy = s;
    EXPECT_EQ(copy.newemailto[1], "a@example.org");
    EXPECT_EQ(copy.ColumnWidth[3], 120);

    s = CSetupInfo();
    EXPECT_EQ(s.sendmail, 1);
    EXPECT_TRUE(s.logfilename.empty());
    EXPECT_EQ(s.newemailcount, 0);
    EXPECT_TRUE(s.newemailto[1].empty());
    EXPECT_EQ(s.emailgrouplist[1], 0);
    EXPECT_EQ(s.ColumnWidth[3], 0);
    EXPECT_EQ(s.downbody, CSetupInfo().downbody);
}

TEST(SetupInfoTest, RecipientCountIsBoundedToTheTable) {
    CSetupInfo s;
    EXPECT_EQ(s.RecipientCount(), 0);
    s.newemailcount = 3;
    EXPECT_EQ(s.RecipientCount(), 3);
    s.newemailcount = 1000;
    EXPECT_EQ(s.RecipientCount(), 256);
    s.newemailcount = -5;
    EXPECT_EQ(s.RecipientCount(), 0);
}

TEST(SetupInfoTest, CsvLogFollowsBitZeroOfReserve2Only) {
    CSetupInfo s;
    EXPECT_FALSE(s.LogAsCsv());
    s.reserve2 = 0xFFFE;
    EXPECT_FALSE(s.LogAsCsv());
    s.reserve2 = 1;
    EXPECT_TRUE(s.LogAsCsv());
}

}  // namespace
