#include "config/setup_ini.h"

#include <filesystem>
#include <random>
#include <string>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "config/config_fixture.h"
#include "platform/ini_file.h"

namespace {

using configtest::ConfigTest;

const char* const kBodyEscaped =
    "the name is <NAME>0x130x10the IP address is <HOST>0x130x10the datetime is <DATE "
    "TIME>0x130x10the EVENT is <EVENT>0x130x10the lost rate is <LOST RATE>";

IniFile Parsed(const std::string& text) {
    IniFile ini;
    ini.Parse(text);
    return ini;
}

class SetupIniTest : public ConfigTest {
protected:
    // Every setting and host field the text carries set away from its defaults.
    static void FillEverything() {
        CSetupInfo& s = *g_pSetupInfo;
        s.popupbox = 1;
        s.sendmail = 0;
        s.runexe = 1;
        s.beep = 0;
        s.exefilename = "/usr/bin/notify";
        s.beepbreak = 0;
        s.beepseconds = 42;
        s.needlostcount = 0;
        s.continuelost = 9;
        s.needlostrate = 0;
        s.lostrate = 77;
        s.logfilename = "/var/log/velmora.log";
        s.logall = 1;
        s.logchange = 0;
        s.lognotify = 0;
        s.execpara = "\"<HOST>\" \"<EVENT>\"";  // enclosing quotes survive
        s.smtpserver = "mail.test";
        s.smtpport = 2525;
        s.emailfrom = "from@test";
        s.auth = 1;
        s.user = "  spaced user ";  // outer blanks survive
        s.pass = "p=a;s's";
        s.emailint = 3;
        s.testsubject = "test 0x10 kept";
        s.downsubject = "down\r\n<HOST>";
        s.downbody = "line one\r\nline two\nline three";
        s.upsubject = "up <HOST>";
        s.upbody = "\r\n";
        s.bneedloopmail = 1;
        s.loopemailint = 15;
        s.start_set = 0;
        s.mail_highpriority = 0;
        s.reserve2 = 0x8001;
        s.emailName = "Ops";
        s.newemailcount = 3;
        s.newemailto[0] = "a@test";
        s.newemailto[1] = "b@test";
        s.newemailto[2] = "c@test";
        s.emailgrouplist[0] = 0;
        s.emailgrouplist[1] = -7;
        s.emailgrouplist[2] = 65536;
        s.signint = -2;
        for (int i = 0; i < kColumnWidthCount; ++i)
            s.ColumnWidth[static_cast<size_t>(i)] = static_cast<uint16_t>(60000 + i);

        CHostItem* h4 = Add("four", "192.0.2.7");
        h4->interval = 1500;
        h4->timeout = 900;
        h4->packetsize = 1400;
        h4->name_host = 1;
        h4->ip_to_name = 1;
        h4->notify_down = 0;
        h4->notify_up = 0;
        h4->mail_group = 65535;
        h4->mail_priority = 0;
        h4->advance = 3;
        h4->descript = "first\r\nsecond";
        h4->hostname = "four.test";
        CHostItem* h6 = Add("six", "2001:db8::6");
        h6->interval = 60000;
        h6->timeout = 5000;
        h6->packetsize = 12;
        h6->advance = 0;
    }
};

// ---- writer --------------------------------------------------------------------------------

TEST_F(SetupIniTest, WriterProducesEveryKeyInOrderInItsForm) {
    CSetupInfo& s = *g_pSetupInfo;
    s.emailcount = 2;
    s.emailto[0] = "old1@test";
    s.emailto[1] = "old2@test";
    s.newemailcount = 2;
    s.newemailto[0] = "a@test";
    s.newemailto[1] = "b@test";
    s.emailgrouplist[1] = -7;
    for (int i = 0; i < kColumnWidthCount; ++i)
        s.ColumnWidth[static_cast<size_t>(i)] = static_cast<uint16_t>(10 * (i + 1));
    CHostItem* first = Add("first", "10.0.0.1");
    CHostItem* hidden = Add("hidden", "10.0.0.9");
    CHostItem* v6 = Add("six", "2001:db8::1");
    hidden->list_flags |= 0x2;  // never saved
    first->descript = "line1\r\nline2";
    first->hostname = "first.test";
    v6->mail_group = 4;
    v6->advance = 1;
    // Rows in the order the user sorted them: the IPv6 host first.
    std::swap(g_rowToHost[0], g_rowToHost[2]);

    const std::string expected =
        "[General]\r\nversion=4.0.0\r\npopupbox=0\r\nsendmail=1\r\nrunexe=0\r\nbeep=1\r\n"
        "exefilename=\r\nbeepbreak=1\r\nbeepseconds=100\r\nneedlostcount=1\r\ncontinuelost=3\r\n"
        "needlostrate=1\r\nlostrate=5\r\nlogfilename=\r\nlogall=0\r\nlogchange=1\r\n"
        "lognotify=1\r\n"
        "execpara=HOST=<HOST> \"DATATIME=<DATE TIME>\" \"EVENT=<EVENT>\" LOSTRATE=<LOST "
        "RATE>\r\n"
        "smtpserver=\r\nsmtpport=25\r\nemailfrom=\r\nauth=0\r\nuser=\r\npass=\r\n"
        "emailcount=2\r\nemailto1=old1@test\r\nemailto2=old2@test\r\nemailint=1\r\n"
        "testsubject=send a test Email\r\ndownsubject=the host of <HOST> is down\r\n"
        "downbody=" +
        std::string(kBodyEscaped) +
        "\r\n"
        "upsubject=the host of <HOST> is up\r\nupbody=" +
        kBodyEscaped +
        "\r\n"
        "bneedloopmail=0\r\nloopemailint=1\r\nstart_set=3\r\nmail_highpriority=1\r\n"
        "reserve2=0\r\nemailName=Velmora Administrators\r\nnewemailcount=2\r\n"
        "newemailto1=a@test\r\nemailgrouplist1=0\r\nnewemailto2=b@test\r\nemailgrouplist2=-7\r\n"
        "signint=3\r\nColumnWidth1=10\r\nColumnWidth2=20\r\nColumnWidth3=30\r\n"
        "ColumnWidth4=40\r\nColumnWidth5=50\r\nColumnWidth6=60\r\nColumnWidth7=70\r\n"
        "ColumnWidth8=80\r\n"
        "[item1]\r\nIP=2001:db8::1\r\nInterval=1000\r\ntimeout(ms)=2000\r\npacketsize=32\r\n"
        "name_host=0\r\nip_to_name=0\r\nnotify_down=1\r\nnotify_up=1\r\nmail group=4\r\n"
        "mail priority=1\r\nadvance=1\r\nName=six\r\nDescript=\r\nhostname=\r\n"
        "[item2]\r\nIP=10.0.0.1 \r\nInterval=1000\r\ntimeout(ms)=2000\r\npacketsize=32\r\n"
        "name_host=0\r\nip_to_name=0\r\nnotify_down=1\r\nnotify_up=1\r\nmail group=0\r\n"
        "mail priority=1\r\nadvance=2\r\nName=first\r\nDescript=line10x130x10line2\r\n"
        "hostname=first.test\r\n";
    const std::string path = m_dir.File("setup.txt");
    ASSERT_EQ(SaveSetupToIni(path), 0);
    EXPECT_EQ(ReadFile(path), expected);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Writing touches neither the flag nor the store.
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_EQ(StoreInode(), 0u);
}

TEST_F(SetupIniTest, WriterFailureLeavesWhatWasThereAndNoLeftovers) {
    // A directory in the way: the commit's rename fails after the text was written.
    const std::string path = m_dir.File("inway");
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    WriteFile(path + "/precious", "keep");
    EXPECT_EQ(SaveSetupToIni(path), -1);
    EXPECT_EQ(ReadFile(path + "/precious"), "keep");
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(m_dir.path()))
        entries += e.path().filename().string().rfind("inway", 0) == 0 ? 1 : 0;
    EXPECT_EQ(entries, 1);
}

// ---- reader --------------------------------------------------------------------------------

TEST_F(SetupIniTest, ReaderTakesEveryKeyOfAHandWrittenFile) {
    const std::string text =
        "[general]\nVERSION=1\npopupbox=1\nsendmail=0\nrunexe=1\nbeep=0\nexefilename=/bin/x\n"
        "beepbreak=0\nbeepseconds=30\nneedlostcount=0\ncontinuelost=4\nneedlostrate=0\n"
        "lostrate=20\nlogfilename=/tmp/log\nlogall=0\nlogchange=0\nlognotify=0\n"
        "execpara=p <HOST>\nsmtpserver=smtp.test\nsmtpport=587\nemailfrom=f@test\nauth=0\n"
        "user=u\npass=pw\nemailcount=2\nemailto1=o1@test\nemailto2=o2@test\nemailto3=no\n"
        "emailint=5\ntestsubject=T0x13\ndownsubject=D0x13\ndownbody=a0x130x10b\n"
        "upsubject=U0x10\nupbody=c0x10d\nbneedloopmail=0\nloopemailint=6\nstart_set=2\n"
        "mail_highpriority=0\nreserve2=0\nemailName=Team\nnewemailcount=2\n"
        "newemailto1=r1@test\nemailgrouplist1=3\nnewemailto2=r2@test\nemailgrouplist2=-1\n"
        "signint=8\nColumnWidth1=11\nColumnWidth2=12\nColumnWidth3=13\nColumnWidth4=14\n"
        "ColumnWidth5=15\nColumnWidth6=16\nColumnWidth7=17\nColumnWidth8=70000\n"
        "[item1]\nIP=192.0.2.1 \nInterval=500\ntimeouts=250\npacketsize=100\nname_host=1\n"
        "ip_to_name=1\nnotify_down=0\nnotify_up=0\nmail group=7\nmail priority=1\nadvance=3\n"
        "Name=N1\nDescript=x0x13y0x10z\nhostname=h1.test\n"
        "[ITEM2]\nIP=2001:db8::2\n";
    CSetupInfo& s = *g_pSetupInfo;
    s.reserveint[0] = 5;  // not in the text: kept
    ASSERT_EQ(LoadSetupFromIni(Parsed(text)), 0);

    EXPECT_EQ(s.popupbox, 1);
    EXPECT_EQ(s.sendmail, 0);
    EXPECT_EQ(s.runexe, 1);
    EXPECT_EQ(s.beep, 0);
    EXPECT_EQ(s.exefilename, "/bin/x");
    EXPECT_EQ(s.beepbreak, 0);
    EXPECT_EQ(s.beepseconds, 30);
    EXPECT_EQ(s.needlostcount, 0);
    EXPECT_EQ(s.continuelost, 4);
    EXPECT_EQ(s.needlostrate, 0);
    EXPECT_EQ(s.lostrate, 20);
    EXPECT_EQ(s.logfilename, "/tmp/log");
    EXPECT_EQ(s.logall, 0);
    EXPECT_EQ(s.logchange, 0);
    EXPECT_EQ(s.lognotify, 0);
    EXPECT_EQ(s.execpara, "p <HOST>");
    EXPECT_EQ(s.smtpserver, "smtp.test");
    EXPECT_EQ(s.smtpport, 587);
    EXPECT_EQ(s.emailfrom, "f@test");
    EXPECT_EQ(s.auth, 0);
    EXPECT_EQ(s.user, "u");
    EXPECT_EQ(s.pass, "pw");
    EXPECT_EQ(s.emailcount, 2);
    EXPECT_EQ(s.emailto[0], "o1@test");
    EXPECT_EQ(s.emailto[1], "o2@test");
    EXPECT_EQ(s.emailto[2], "");
    EXPECT_EQ(s.emailint, 5);
    EXPECT_EQ(s.testsubject, "T0x13");  // not escaped
    EXPECT_EQ(s.downsubject, "D\r");
    EXPECT_EQ(s.downbody, "a\r\nb");
    EXPECT_EQ(s.upsubject, "U\n");
    EXPECT_EQ(s.upbody, "c\nd");
    EXPECT_EQ(s.bneedloopmail, 0);
    EXPECT_EQ(s.loopemailint, 6);
    EXPECT_EQ(s.start_set, 2);
    EXPECT_EQ(s.mail_highpriority, 0);
    EXPECT_EQ(s.reserve2, 0);
    EXPECT_EQ(s.emailName, "Team");
    EXPECT_EQ(s.newemailcount, 2);
    EXPECT_EQ(s.newemailto[0], "r1@test");
    EXPECT_EQ(s.emailgrouplist[0], 3);
    EXPECT_EQ(s.newemailto[1], "r2@test");
    EXPECT_EQ(s.emailgrouplist[1], -1);
    EXPECT_EQ(s.signint, 8);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(s.ColumnWidth[static_cast<size_t>(i)], 11 + i);
    EXPECT_EQ(s.ColumnWidth[7], 70000 & 0xFFFF);  // 16-bit field
    EXPECT_EQ(s.reserveint[0], 5);

    ASSERT_EQ(Count(), 2);
    const CHostItem& h = *Row(0);
    EXPECT_EQ(Ip4(h), "192.0.2.1");
    EXPECT_FALSE(h.IsIPv6());
    EXPECT_EQ(h.interval.load(), 500u);
    EXPECT_EQ(h.timeout.load(), 250u);
    EXPECT_EQ(h.packetsize.load(), 100u);
    EXPECT_EQ(h.name_host, 1);
    EXPECT_EQ(h.ip_to_name, 1);
    EXPECT_EQ(h.notify_down, 0);
    EXPECT_EQ(h.notify_up, 0);
    EXPECT_EQ(h.mail_group, 7);
    EXPECT_EQ(h.mail_priority, 1);
    EXPECT_EQ(h.advance.load(), 3u);
    EXPECT_EQ(h.name, "N1");
    EXPECT_EQ(h.descript, "x\ry\nz");
    EXPECT_EQ(h.hostname, "h1.test");
    EXPECT_EQ(h.list_flags.load() & kListUnfilled, 0u);
    // A host of address only: every other key at its reader default, address prepared.
    const CHostItem& v6 = *Row(1);
    EXPECT_TRUE(v6.IsIPv6());
    EXPECT_EQ(v6.LoadAddr4(), 0u);
    EXPECT_TRUE(v6.target6.has_value());
    EXPECT_EQ(v6.interval.load(), 1u);
    EXPECT_EQ(v6.timeout.load(), 2000u);
    EXPECT_EQ(v6.packetsize.load(), 32u);
    EXPECT_EQ(v6.notify_down, 1);
    EXPECT_EQ(v6.notify_up, 1);
    EXPECT_EQ(v6.mail_priority, 0);
    EXPECT_EQ(v6.advance.load(), 0u);
}

TEST_F(SetupIniTest, AFileOfOnlyTheVersionGivesEveryReaderDefaultAndKeepsTheHosts) {
    FillEverything();
    ASSERT_EQ(LoadSetupFromIni(Parsed("[General]\r\nversion=4.0.0\r\n")), 0);
    const CSetupInfo& s = *g_pSetupInfo;
    EXPECT_EQ(s.popupbox, 0);
    EXPECT_EQ(s.sendmail, 1);
    EXPECT_EQ(s.runexe, 0);
    EXPECT_EQ(s.beep, 1);
    EXPECT_EQ(s.exefilename, "");
    EXPECT_EQ(s.beepbreak, 1);
    EXPECT_EQ(s.beepseconds, 1);
    EXPECT_EQ(s.continuelost, 1);
    EXPECT_EQ(s.lostrate, 1);
    EXPECT_EQ(s.logall, 1);
    EXPECT_EQ(s.execpara, "");
    EXPECT_EQ(s.smtpport, 25);
    EXPECT_EQ(s.auth, 1);
    EXPECT_EQ(s.emailcount, 1);
    EXPECT_EQ(s.emailto[0], "");
    EXPECT_EQ(s.emailint, 1);
    EXPECT_EQ(s.testsubject, "");
    EXPECT_EQ(s.downbody, "");
    EXPECT_EQ(s.bneedloopmail, 1);
    EXPECT_EQ(s.loopemailint, 1);
    EXPECT_EQ(s.start_set, 1);
    EXPECT_EQ(s.mail_highpriority, 1);
    EXPECT_EQ(s.reserve2, 1);
    EXPECT_EQ(s.emailName, "");
    EXPECT_EQ(s.newemailcount, 1);
    EXPECT_EQ(s.newemailto[0], "");
    EXPECT_EQ(s.emailgrouplist[0], 0);
    EXPECT_EQ(s.signint, 1);
    for (uint16_t w : s.ColumnWidth)
        EXPECT_EQ(w, 100);
    EXPECT_EQ(Count(), 2);
}

TEST_F(SetupIniTest, HostSectionsAreAppendedUntilTheFirstMissingOne) {
    Add("existing", "10.9.9.9");
    const std::string text =
        "[General]\nversion=4.0.0\n[item1]\nIP=10.0.0.1 \n[item2]\nIP=10.0.0.2\n"
        "[item4]\nIP=10.0.0.4\n";
    ASSERT_EQ(LoadSetupFromIni(Parsed(text)), 0);
    ASSERT_EQ(Count(), 3);
    EXPECT_EQ(Row(0)->name, "existing");
    EXPECT_EQ(Ip4(*Row(1)), "10.0.0.1");
    EXPECT_EQ(Ip4(*Row(2)), "10.0.0.2");
    // The same file again doubles its hosts.
    ASSERT_EQ(LoadSetupFromIni(Parsed(text)), 0);
    EXPECT_EQ(Count(), 5);
    // An empty address ends the list as a missing one does.
    ASSERT_EQ(LoadSetupFromIni(Parsed("[General]\nversion=1\n[item1]\nIP=\n[item2]\nIP=1.1.1.1")),
              0);
    EXPECT_EQ(Count(), 5);
}

TEST_F(SetupIniTest, AddressesNamesAndTimeOutKeys) {
    const std::string text =
        "[General]\nversion=4.0.0\n"
        "[item1]\nIP=host.example.test\n"                       // a name: kept as host name
        "[item2]\nIP=host2.test\nhostname=given.test\n"         // the file's host name wins
        "[item3]\nIP=255.255.255.255 \ntimeout(ms)=1234\n"      // the writer's key
        "[item4]\nIP=10.1.1.1\ntimeouts=50\ntimeout(ms)=60\n";  // both: "timeouts"
    ASSERT_EQ(LoadSetupFromIni(Parsed(text)), 0);
    ASSERT_EQ(Count(), 4);
    EXPECT_EQ(Row(0)->hostname, "host.example.test");
    EXPECT_EQ(Row(0)->LoadAddr4(), INADDR_NONE);
    EXPECT_EQ(Row(1)->hostname, "given.test");
    EXPECT_EQ(Row(2)->LoadAddr4(), INADDR_NONE);
    EXPECT_EQ(Row(2)->hostname, "");  // a real address, even if it equals INADDR_NONE
    EXPECT_EQ(Row(2)->timeout.load(), 1234u);
    EXPECT_EQ(Row(3)->timeout.load(), 50u);
}

TEST_F(SetupIniTest, RecipientCountIsBoundedAndNarrowFieldsKeepTheirLowBits) {
    std::string text = "[General]\nversion=1\nnewemailcount=300\npopupbox=257\nsmtpport=65537\n";
    for (int i = 1; i <= 300; ++i)
        text += "newemailto" + std::to_string(i) + "=r" + std::to_string(i) + "\n";
    ASSERT_EQ(LoadSetupFromIni(Parsed(text)), 0);
    EXPECT_EQ(g_pSetupInfo->newemailcount, 256);
    EXPECT_EQ(g_pSetupInfo->newemailto[255], "r256");
    EXPECT_EQ(g_pSetupInfo->popupbox, 1);
    EXPECT_EQ(g_pSetupInfo->smtpport, 1);
    ASSERT_EQ(LoadSetupFromIni(Parsed("[General]\nversion=1\nnewemailcount=-3\n")), 0);
    EXPECT_EQ(g_pSetupInfo->newemailcount, 0);
}

TEST_F(SetupIniTest, AFullTableTakesWhatFitsAfterTheSettings) {
    Recreate(3);
    Add("a", "10.0.0.1");
    Add("b", "10.0.0.2");
    std::string text = "[General]\nversion=1\nsmtpport=99\n";
    for (int n = 1; n <= 4; ++n)
        text += "[item" + std::to_string(n) + "]\nIP=10.0.1." + std::to_string(n) + "\n";
    ASSERT_EQ(LoadSetupFromIni(Parsed(text)), 0);
    EXPECT_EQ(g_pSetupInfo->smtpport, 99);
    ASSERT_EQ(Count(), 3);
    EXPECT_EQ(Ip4(*Row(2)), "10.0.1.1");
}

TEST_F(SetupIniTest, AnUnreadableFileChangesNothing) {
    FillEverything();
    const configtest::Bytes before = Snapshot();
    EXPECT_EQ(LoadSetupFromIni(m_dir.File("missing.txt")), -1);
    EXPECT_EQ(Snapshot(), before);
}

// ---- round trips ---------------------------------------------------------------------------

TEST_F(SetupIniTest, EverySettingAndHostFieldSurvivesExportAndImport) {
    FillEverything();
    g_pSetupInfo->emailcount = 2;
    g_pSetupInfo->emailto[0] = "legacy1@test";
    g_pSetupInfo->emailto[1] = "legacy2@test";
    const std::string path = m_dir.File("export.txt");
    ASSERT_EQ(SaveSetupToIni(path), 0);
    const configtest::Bytes before = Snapshot();

    *g_pSetupInfo = CSetupInfo();
    ClearHostList(0);
    ASSERT_EQ(LoadSetupFromIni(path), 0);
    EXPECT_EQ(g_pSetupInfo->emailcount, 2);
    EXPECT_EQ(g_pSetupInfo->emailto[1], "legacy2@test");
    EXPECT_EQ(g_pSetupInfo->user, "  spaced user ");
    EXPECT_EQ(g_pSetupInfo->execpara, "\"<HOST>\" \"<EVENT>\"");
    EXPECT_EQ(g_pSetupInfo->testsubject, "test 0x10 kept");
    EXPECT_TRUE(Row(1)->target6.has_value());
    // Everything else, compared as the document that stores it.
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(SetupIniTest, TheFormatLosesExactlyWhatItCannotCarry) {
    CSetupInfo& s = *g_pSetupInfo;
    s.downsubject = "literal 0x10 text";
    s.exefilename = "prog\r\n[item1]\r\nIP=127.0.0.1";
    s.reservetext[0] = "document only";
    CHostItem* h = Add("h", "10.0.0.1");
    h->ttl_seen = 64;
    h->reserved_text1 = "document only";
    const std::string path = m_dir.File("export.txt");
    ASSERT_EQ(SaveSetupToIni(path), 0);

    *g_pSetupInfo = CSetupInfo();
    ClearHostList(0);
    ASSERT_EQ(LoadSetupFromIni(path), 0);
    EXPECT_EQ(s.downsubject, "literal \n text");
    // The line breaks became blanks; no host came out of the value.
    EXPECT_EQ(s.exefilename, "prog  [item1]  IP=127.0.0.1");
    ASSERT_EQ(Count(), 1);
    EXPECT_EQ(s.reservetext[0], "");
    EXPECT_EQ(Row(0)->ttl_seen, 0);
    EXPECT_EQ(Row(0)->reserved_text1, "");
}

// ---- hostile input -------------------------------------------------------------------------

TEST_F(SetupIniTest, TruncatedAndRandomFilesNeverCrashOrOverflow) {
    FillEverything();
    const std::string path = m_dir.File("export.txt");
    ASSERT_EQ(SaveSetupToIni(path), 0);
    const std::string text = ReadFile(path);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        ClearHostList(0);
        ASSERT_EQ(LoadSetupFromIni(Parsed(text.substr(0, cut))), 0);
        EXPECT_LE(Count(), 2) << cut;
        EXPECT_LE(g_pSetupInfo->newemailcount, kMaxRecipients);
        EXPECT_GE(g_pSetupInfo->newemailcount, 0);
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string bytes = "[General]\nversion=1\n";
        const size_t length = rng() % 3000;
        for (size_t i = 0; i < length; ++i) {
            bytes += round % 2 == 0 ? static_cast<char>(rng())
                                    : "[]=\r\nitem1IPnewemailcount-90x13"[rng() % 31];
        }
        ClearHostList(0);
        ASSERT_EQ(LoadSetupFromIni(Parsed(bytes)), 0);
        EXPECT_LE(g_pSetupInfo->newemailcount, kMaxRecipients);
    }
}

}  // namespace
