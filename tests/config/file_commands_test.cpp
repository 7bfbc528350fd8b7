#include "config/file_commands.h"

#include <chrono>
#include <random>
#include <string>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_fixture.h"
#include "config/legacy_import.h"
#include "config/setup_ini.h"
#include "platform/archive.h"
#include "platform/ini_file.h"

namespace {

using configtest::Bytes;
using configtest::ConfigTest;

std::string AsText(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// A "ZARVEKV25" document (no recipient block, no column widths) with a legacy recipient
// list and hosts in the V25 form.
std::string V25Document(const std::vector<std::string>& legacy, int hosts) {
    std::vector<uint8_t> buffer(1 << 16);
    ArchiveWriter w(buffer.data(), buffer.size());
    w.WriteText("ZARVEKV25");
    for (uint8_t flag : {1, 0, 1, 1})  // popup box, mail, program, sound
        w.WriteByte(flag);
    w.WriteText("/bin/file");
    w.WriteByte(0);
    w.WriteInt(5);
    w.WriteByte(0);
    w.WriteInt(6);
    w.WriteByte(0);
    w.WriteInt(7);
    w.WriteText("/tmp/file.log");
    w.WriteByte(1);
    w.WriteByte(1);
    w.WriteByte(1);
    w.WriteText("para");
    w.WriteText("file.smtp");
    w.WriteWord(2626);
    w.WriteText("file@test");
    w.WriteByte(1);
    w.WriteText("fu");
    w.WriteText("fp");
    w.WriteByte(static_cast<uint8_t>(legacy.size()));
    for (const std::string& l : legacy)
        w.WriteText(l);
    w.WriteByte(2);
    for (const char* t : {"ts", "ds", "db", "us", "ub"})
        w.WriteText(t);
    w.WriteByte(1);
    w.WriteInt(9);
    w.WriteInt(0);
    w.WriteWord(0);
    w.WriteWord(0);
    for (int i = 0; i < 6; ++i)
        w.WriteInt(i);
    w.WriteText("File Name");
    for (int i = 0; i < 7; ++i)
        w.WriteText("");
    w.WriteWord(65535);
    w.WriteWord(static_cast<uint16_t>(hosts));
    for (int n = 1; n <= hosts; ++n) {
        const uint8_t a4[4] = {172, 16, 0, static_cast<uint8_t>(n)};
        w.WriteBytes(a4, 4);
        w.WriteInt(3000);
        w.WriteInt(1000);
        w.WriteInt(56);
        w.WriteByte(0);
        w.WriteByte(0);
        w.WriteByte(1);
        w.WriteByte(1);
        w.WriteText("v25-" + std::to_string(n));
        w.WriteText("");
        w.WriteText("");
        w.WriteWord(1);
        w.WriteWord(1);
        w.WriteInt(2);
        w.WriteInt(0);
        for (int i = 0; i < 5; ++i)
            w.WriteInt(0);
        for (int i = 0; i < 8; ++i)
            w.WriteText("");
    }
    EXPECT_TRUE(w.ok());
    return std::string(buffer.begin(), buffer.begin() + static_cast<long>(w.size()));
}

class FileCommandsTest : public ConfigTest {
protected:
    // A setup away from the defaults everywhere, texts short enough for the INI text.
    static void FillSetup(const std::string& tag) {
        CSetupInfo& s = *g_pSetupInfo;
        s.popupbox = 1;
        s.sendmail = 0;
        s.exefilename = "/bin/" + tag;
        s.beepseconds = 12;
        s.lostrate = 40;
        s.smtpserver = tag + ".mail.test";
        s.smtpport = 2500;
        s.user = tag;
        s.downbody = "down\r\nbody " + tag;
        s.start_set = 2;
        s.emailName = tag + " team";
        s.newemailcount = 2;
        s.newemailto[0] = tag + "1@test";
        s.newemailto[1] = tag + "2@test";
        s.emailgrouplist[0] = 1;
        s.emailgrouplist[1] = 2;
        s.signint = 11;
        s.ColumnWidth = {1, 2, 3, 4, 5, 6, 7, 8};
        CHostItem* a = Add(tag + "-a", "198.51.100.1");
        a->interval = 2500;
        a->timeout = 600;
        a->packetsize = 512;
        a->mail_group = 2;
        a->advance = 3;
        a->descript = "two\r\nlines";
        a->hostname = tag + ".test";
        CHostItem* b = Add(tag + "-b", "2001:db8::b");
        b->notify_up = 0;
        b->ip_to_name = 1;
    }

    std::string Export() {
        const std::string path = m_dir.File("setup.dat");
        EXPECT_EQ(ExportToFileCommand(path), 0);
        return path;
    }

    void ExpectUnchanged(const Bytes& before, int rebuilds, ino_t store, const std::string& what) {
        EXPECT_EQ(Snapshot(), before) << what;
        EXPECT_EQ(m_hooks.rebuilds, rebuilds) << what;
        EXPECT_EQ(StoreInode(), store) << what;
    }
};

// ---- document export and import ------------------------------------------------------------

TEST_F(FileCommandsTest, ExportThenImportReplacesEverything) {
    FillSetup("file");
    g_bSetupModified = 1;
    const std::string path = Export();
    // Modified: the export also stored the setup, byte for byte what the file holds.
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_EQ(AsText(StoredSetup()), ReadFile(path));
    const Bytes exported = Snapshot();

    NewTemplateCommand();
    FillSetup("other");
    ASSERT_EQ(ImportFromFileCommand(path), 0);
    EXPECT_EQ(Snapshot(), exported);
    EXPECT_EQ(Count(), 2);
    EXPECT_TRUE(Row(1)->target6.has_value());
    EXPECT_EQ(StoredSetup(), exported);
    EXPECT_TRUE(m_boxes.shown.empty());
}

TEST_F(FileCommandsTest, ImportAndAppendKeepsTheRowsAndTakesOnlyRecipientsAndTail) {
    FillSetup("file");
    const std::string path = Export();
    const CSetupInfo file = *g_pSetupInfo;
    const Bytes fileHosts = Snapshot();

    NewTemplateCommand();
    CSetupInfo& live = *g_pSetupInfo;
    live.smtpport = 99;
    live.downbody = "mine";
    live.newemailcount = 3;
    live.newemailto = {};
    live.newemailto[0] = "x@test";
    live.newemailto[1] = "y@test";
    live.newemailto[2] = "z@test";
    live.emailgrouplist[2] = 9;
    std::vector<CHostItem*> mine = {Add("m1", "10.0.0.1"), Add("m2", "10.0.0.2"),
                                    Add("m3", "10.0.0.3")};
    // The user's own order: m3, m1, m2.
    g_rowToHost[0] = 2;
    g_rowToHost[1] = 0;
    g_rowToHost[2] = 1;
    const int rebuilds = m_hooks.rebuilds;

    ASSERT_EQ(ImportAppendCommand(path), 0);
    ASSERT_EQ(Count(), 5);
    EXPECT_EQ(Row(0), mine[2]);
    EXPECT_EQ(Row(1), mine[0]);
    EXPECT_EQ(Row(2), mine[1]);
    EXPECT_EQ(Row(3)->name, "file-a");
    EXPECT_EQ(Row(3)->interval.load(), 2500u);
    EXPECT_EQ(Row(3)->descript, "two\r\nlines");
    EXPECT_EQ(Row(4)->name, "file-b");
    EXPECT_TRUE(Row(4)->target6.has_value());
    // Settings stay, except the recipients, signint and the column widths.
    EXPECT_EQ(live.smtpport, 99);
    EXPECT_EQ(live.downbody, "mine");
    EXPECT_EQ(live.newemailcount, 2);
    EXPECT_EQ(live.newemailto[0], "file1@test");
    EXPECT_EQ(live.emailgrouplist[1], 2);
    EXPECT_EQ(live.newemailto[2], "z@test");  // past the file's count: kept
    EXPECT_EQ(live.emailgrouplist[2], 9);
    EXPECT_EQ(live.signint, file.signint);
    EXPECT_EQ(live.ColumnWidth, file.ColumnWidth);
    EXPECT_EQ(m_hooks.rebuilds, rebuilds + 1);
    EXPECT_EQ(StoredSetup(), Snapshot());
    EXPECT_NE(Snapshot(), fileHosts);
}

TEST_F(FileCommandsTest, AppendOfAnOlderDocumentTakesItsLegacyRecipients) {
    const std::string path = m_dir.File("v25.dat");
    WriteFile(path, V25Document({"l1@test", "l2@test"}, 2));
    CSetupInfo& live = *g_pSetupInfo;
    live.newemailcount = 3;
    live.newemailto[2] = "kept@test";
    live.emailgrouplist[0] = 4;
    live.signint = 77;
    ASSERT_EQ(AppendSetupFromFile(path), 0);
    EXPECT_EQ(live.newemailcount, 2);
    EXPECT_EQ(live.newemailto[0], "l1@test");
    EXPECT_EQ(live.newemailto[1], "l2@test");
    EXPECT_EQ(live.newemailto[2], "kept@test");
    EXPECT_EQ(live.emailgrouplist[0], 4);  // group ids untouched
    EXPECT_EQ(live.signint, 77);           // no tail before "ZARVEKV311"
    EXPECT_EQ(live.smtpserver, "");        // settings stay
    ASSERT_EQ(Count(), 2);
    EXPECT_EQ(Row(1)->name, "v25-2");
    EXPECT_EQ(Row(1)->packetsize.load(), 56u);

    WriteFile(path, V25Document({}, 0));
    ASSERT_EQ(AppendSetupFromFile(path), 0);
    EXPECT_EQ(live.newemailcount, 0);
    EXPECT_EQ(Count(), 2);
}

TEST_F(FileCommandsTest, AppendIntoAFullTableAddsNothingButStillSaves) {
    Recreate(2);
    Add("a", "10.0.0.1");
    Add("b", "10.0.0.2");
    const std::string path = m_dir.File("v25.dat");
    WriteFile(path, V25Document({}, 3));
    ASSERT_EQ(ImportAppendCommand(path), 0);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(m_hooks.rebuilds, 1);
    EXPECT_NE(StoreInode(), 0u);
}

TEST_F(FileCommandsTest, AppendSizeLimitIsTheSetupBuffer) {
    FillSetup("file");
    const std::string doc = ReadFile(Export());
    ClearHostList(0);
    const std::string path = m_dir.File("padded.dat");
    // Bytes after the last host are never read: a document padded to exactly the buffer
    // size is taken, one byte more is refused.
    WriteFile(path, doc + std::string(static_cast<size_t>(kMaxSetupLength) - doc.size(), 'x'));
    ASSERT_EQ(AppendSetupFromFile(path), 0);
    EXPECT_EQ(Count(), 2);
    WriteFile(path, doc + std::string(static_cast<size_t>(kMaxSetupLength) - doc.size() + 1, 'x'));
    const Bytes before = Snapshot();
    EXPECT_EQ(ImportAppendCommand(path), -2);
    EXPECT_EQ(Snapshot(), before);
    ASSERT_EQ(m_boxes.shown.size(), 1u);
    EXPECT_EQ(m_boxes.shown[0].text, kMsgSetupFileTooLarge);
}

TEST_F(FileCommandsTest, RefusedFilesChangeNothingAndSaySo) {
    FillSetup("live");
    const Bytes before = Snapshot();
    const std::string notDoc = m_dir.File("notes.txt");
    WriteFile(notDoc, "\x06ZARVEX rest of a file");
    const std::string fifo = m_dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        int result;
        const char* text;
    };
    const Case cases[] = {
        {notDoc, -1, kMsgNotSetupFile},
        {m_dir.File("missing.dat"), -1, "Open File Error"},
        {fifo, -1, "Open File Error"},
    };
    for (const Case& c : cases) {
        for (int append = 0; append < 2; ++append) {
            m_boxes.shown.clear();
            const auto start = std::chrono::steady_clock::now();
            const int result =
                append != 0 ? ImportAppendCommand(c.path) : ImportFromFileCommand(c.path);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
            EXPECT_EQ(result, c.result) << c.path;
            ExpectUnchanged(before, 0, 0, c.path);
            ASSERT_EQ(m_boxes.shown.size(), 1u) << c.path;
            EXPECT_EQ(m_boxes.shown[0].text, c.text);
            EXPECT_EQ(m_boxes.shown[0].caption, kAppTitle);
        }
    }
}

TEST_F(FileCommandsTest, EveryTruncationOfADocumentChangesNothing) {
    FillSetup("file");
    const std::string doc = ReadFile(Export());
    ClearHostList(0);
    FillSetup("live");
    const Bytes before = Snapshot();
    const ino_t store = StoreInode();
    const std::string path = m_dir.File("cut.dat");
    for (size_t cut = 0; cut < doc.size(); ++cut) {
        WriteFile(path, doc.substr(0, cut));
        EXPECT_NE(ImportFromFileCommand(path), 0) << cut;
        EXPECT_NE(ImportAppendCommand(path), 0) << cut;
        ExpectUnchanged(before, 0, store, "cut at " + std::to_string(cut));
    }
    // Random bytes after a valid beginning.
    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        std::string bytes = doc.substr(0, 11 + rng() % 40);
        bytes.resize(bytes.size() + rng() % 400);
        for (size_t i = 11; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(rng());
        WriteFile(path, bytes);
        const int replaced = ImportFromFileCommand(path);
        const int appended = ImportAppendCommand(path);
        if (replaced != 0 && appended != 0)
            ExpectUnchanged(before, 0, store, "random " + std::to_string(round));
    }
}

// ---- text export and import ----------------------------------------------------------------

TEST_F(FileCommandsTest, ExportToTextThenImportTextGivesTheSameSetup) {
    FillSetup("text");
    const std::string path = m_dir.File("setup.txt");
    g_bSetupModified = 1;
    ASSERT_EQ(ExportToTextCommand(path), 0);
    EXPECT_EQ(g_bSetupModified, 1);  // the text export stores nothing
    EXPECT_EQ(StoreInode(), 0u);
    const Bytes exported = Snapshot();

    NewTemplateCommand();
    const int rebuilds = m_hooks.rebuilds;
    ASSERT_EQ(ImportFromTextCommand(path), 0);
    EXPECT_EQ(Snapshot(), exported);
    EXPECT_EQ(m_hooks.rebuilds, rebuilds + 1);
    EXPECT_EQ(StoredSetup(), exported);
    // Hosts are appended: a second import doubles them.
    ASSERT_EQ(ImportFromTextCommand(path), 0);
    EXPECT_EQ(Count(), 4);
    EXPECT_EQ(g_bSetupModified, 1);
}

TEST_F(FileCommandsTest, LongTextsSurviveTextExportAndImportWhole) {
    // Escaped, each line break costs eight characters: both values run to thousands.
    std::string body;
    for (int line = 1; line <= 60; ++line)
        body += "Line " + std::to_string(line) + " of the down mail for <NAME> at <HOST>\r\n";
    std::string description;
    for (int line = 1; line <= 80; ++line)
        description += "rack " + std::to_string(line) + ", port " + std::to_string(line * 3) + "\n";
    g_pSetupInfo->downbody = body;
    Add("described", "192.0.2.1")->descript = description;
    const std::string path = m_dir.File("setup.txt");
    ASSERT_EQ(ExportToTextCommand(path), 0);

    NewTemplateCommand();
    ASSERT_EQ(ImportFromTextCommand(path), 0);
    EXPECT_EQ(g_pSetupInfo->downbody, body);
    ASSERT_EQ(Count(), 1);
    EXPECT_EQ(Row(0)->descript, description);
}

TEST_F(FileCommandsTest, TextWithoutVersionGoesToTheLegacyImport) {
    const std::string path = m_dir.File("hosts.txt");
    WriteFile(path,
              "IP=10.0.0.1;;1=1;;2=2;;3=30;;4=4;;5=5;;6=6;;7=legacy;;8=d;;\r\n"
              "[General]\r\nversion=\r\n");
    g_pSetupInfo->smtpport = 99;
    ASSERT_EQ(ImportFromTextCommand(path), 0);
    ASSERT_EQ(Count(), 1);
    EXPECT_EQ(Row(0)->name, "legacy");
    EXPECT_EQ(g_pSetupInfo->smtpport, 99);  // no setting changed
    EXPECT_EQ(m_hooks.rebuilds, 1);

    m_boxes.shown.clear();
    EXPECT_EQ(ImportFromTextCommand(m_dir.File("missing.txt")), kLegacyOpenFailed);
    ASSERT_EQ(m_boxes.shown.size(), 1u);
    EXPECT_EQ(m_boxes.shown[0].text, "Open File Error");

    // A text setup past the INI reader's line bound is refused as such, not as a host list.
    WriteFile(path, "[General]\r\nversion=4.0.0\r\n" + std::string(kMaxIniLines, '\n'));
    const Bytes before = Snapshot();
    EXPECT_EQ(ImportFromTextCommand(path), -2);
    EXPECT_EQ(Snapshot(), before);
    ASSERT_EQ(m_boxes.shown.size(), 2u);
    EXPECT_EQ(m_boxes.shown[1].text, kMsgTextFileTooLarge);
    // Past 64 MiB, as the export of a large setup that can be stored is: read all the same.
    WriteFile(path, "[General]\r\nversion=4.0.0\r\n;" + std::string(kMaxSetupLength, 'x'));
    EXPECT_EQ(ImportFromTextCommand(path), 0);
}

TEST_F(FileCommandsTest, ExportFailuresAreReported) {
    FillSetup("x");
    EXPECT_EQ(ExportToFileCommand(m_dir.File("missing/setup.dat")), -1);
    EXPECT_EQ(ExportToTextCommand(m_dir.File("missing/setup.txt")), -1);
    ASSERT_EQ(m_boxes.shown.size(), 2u);
    EXPECT_EQ(m_boxes.shown[0].text, kMsgWriteFileError);
    EXPECT_EQ(m_boxes.shown[1].text, kMsgWriteFileError);
}

// ---- New Template and the monitoring gate --------------------------------------------------

TEST_F(FileCommandsTest, NewTemplateRestoresDefaultsWithoutHostsAndStoresAtOnce) {
    FillSetup("old");
    CSetupInfo* const record = g_pSetupInfo;
    g_bSetupModified = 1;
    ASSERT_EQ(NewTemplateCommand(), 0);
    EXPECT_EQ(g_pSetupInfo, record);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(g_rowCount, 0);
    EXPECT_EQ(m_hooks.rebuilds, 1);
    EXPECT_EQ(g_bSetupModified, 1);
    const Bytes now = Snapshot();
    EXPECT_EQ(StoredSetup(), now);
    CSetupInfo& s = *g_pSetupInfo;
    s.ColumnWidth = {};
    const Bytes fresh = Snapshot();
    delete g_pSetupInfo;
    g_pSetupInfo = new CSetupInfo;
    EXPECT_EQ(Snapshot(), fresh);
    EXPECT_EQ(g_pSetupInfo->smtpport, 25);
}

TEST_F(FileCommandsTest, CommandsThatChangeTheSetupDoNothingWhileMonitoringRuns) {
    FillSetup("live");
    const std::string doc = Export();
    const std::string text = m_dir.File("setup.txt");
    ASSERT_EQ(ExportToTextCommand(text), 0);
    const Bytes before = Snapshot();
    const ino_t store = StoreInode();
    g_pHostList->stopped = 0;
    EXPECT_FALSE(SetupCommandsEnabled());
    EXPECT_EQ(NewTemplateCommand(), kFileCommandDisabled);
    EXPECT_EQ(ImportFromFileCommand(doc), kFileCommandDisabled);
    EXPECT_EQ(ImportAppendCommand(doc), kFileCommandDisabled);
    EXPECT_EQ(ImportFromTextCommand(text), kFileCommandDisabled);
    ExpectUnchanged(before, 0, store, "while monitoring");
    EXPECT_TRUE(m_boxes.shown.empty());
    // The exports stay available.
    EXPECT_EQ(ExportToFileCommand(m_dir.File("running.dat")), 0);
    EXPECT_EQ(ExportToTextCommand(m_dir.File("running.txt")), 0);
    g_pHostList->stopped = 1;
    EXPECT_TRUE(SetupCommandsEnabled());
    EXPECT_EQ(NewTemplateCommand(), 0);
}

}  // namespace
