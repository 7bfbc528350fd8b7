#include "config/legacy_import.h"

#include <chrono>
#include <random>
#include <string>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_fixture.h"

namespace {

using configtest::ConfigTest;

const std::string kThree =
    "IP=10.0.0.1;;Interval=0;;Timeout=0;;Size=5;;Group=70000;;Prio=3;;Flags=0;;Name=one;;"
    "Desc=a0x13b0x10c;;\r\n\r\n"
    "x=10.0.0.2;;=1500;;=800;;=64;;=2;;=1;;=1;;=two;;=;;\n"
    "=10.0.0.3;;a=  -5;;b=+7;;c=4294967295;;d=-1;;e=65537;;f=3;;g=th=ree;;h=d;;";

class LegacyImportTest : public ConfigTest {
protected:
    int Import(const std::string& text) {
        const std::string path = m_dir.File("hosts.txt");
        WriteFile(path, text);
        return ImportLegacyHostList(path);
    }
    void ExpectRefused(int result, int expected, const char* message) {
        EXPECT_EQ(result, expected);
        ASSERT_EQ(m_boxes.shown.size(), 1u);
        EXPECT_EQ(m_boxes.shown[0].caption, "Velmora IPV6");
        EXPECT_EQ(m_boxes.shown[0].text, message);
        EXPECT_EQ(m_boxes.shown[0].flags, MB_OK);
        EXPECT_EQ(Count(), 1);
        EXPECT_EQ(m_hooks.rebuilds, 0);
        EXPECT_EQ(StoreInode(), 0u);
    }
};

TEST_F(LegacyImportTest, EveryFieldRule) {
    Add("existing", "10.9.9.9");
    ASSERT_EQ(Import(kThree), 0);
    ASSERT_EQ(Count(), 4);
    EXPECT_EQ(Row(0)->name, "existing");

    const CHostItem& a = *Row(1);
    EXPECT_EQ(Ip4(a), "10.0.0.1");
    EXPECT_EQ(a.interval.load(), 2000u);  // 0 becomes 2000
    EXPECT_EQ(a.timeout.load(), 3000u);   // 0 becomes 3000
    EXPECT_EQ(a.packetsize.load(), 12u);  // below 12 becomes 12
    EXPECT_EQ(a.mail_group, 70000 & 0xFFFF);
    EXPECT_EQ(a.mail_priority, 3);
    EXPECT_EQ(a.advance.load(), 2u);  // 0 becomes 2
    EXPECT_EQ(a.name, "one");
    EXPECT_EQ(a.descript, "a0x13b0x10c");  // no unescaping
    // Fields the list does not carry keep a new host's values.
    EXPECT_FALSE(a.IsIPv6());
    EXPECT_EQ(a.name_host, 0);
    EXPECT_EQ(a.ip_to_name, 0);
    EXPECT_EQ(a.notify_down, 1);
    EXPECT_EQ(a.notify_up, 1);
    EXPECT_EQ(a.hostname, "");
    EXPECT_EQ(a.list_flags.load() & kListUnfilled, 0u);

    const CHostItem& b = *Row(2);
    EXPECT_EQ(Ip4(b), "10.0.0.2");
    EXPECT_EQ(b.interval.load(), 1500u);
    EXPECT_EQ(b.timeout.load(), 800u);
    EXPECT_EQ(b.packetsize.load(), 64u);
    EXPECT_EQ(b.mail_group, 2);
    EXPECT_EQ(b.mail_priority, 1);
    EXPECT_EQ(b.advance.load(), 1u);  // 1 stays 1
    EXPECT_EQ(b.name, "two");
    EXPECT_EQ(b.descript, "");

    const CHostItem& c = *Row(3);  // the last record has no line break after it
    EXPECT_EQ(c.interval.load(), static_cast<uint32_t>(-5));
    EXPECT_EQ(c.timeout.load(), 7u);
    EXPECT_EQ(c.packetsize.load(), 0xFFFFFFFFu);  // not below 12 as unsigned
    EXPECT_EQ(c.mail_group, 0xFFFF);
    EXPECT_EQ(c.mail_priority, 1);
    EXPECT_EQ(c.advance.load(), 3u);
    EXPECT_EQ(c.name, "th=ree");  // the value runs from the first '='
    EXPECT_EQ(c.descript, "d");

    EXPECT_EQ(m_hooks.rebuilds, 1);
    EXPECT_TRUE(m_boxes.shown.empty());
    EXPECT_EQ(StoredSetup(), Snapshot());
}

TEST_F(LegacyImportTest, AddressesThatDoNotParseEndTheListQuietly) {
    const std::string good = "IP=10.0.0.1;;1=1;;2=2;;3=30;;4=4;;5=5;;6=6;;7=n;;8=d;;\n";
    for (const char* stop : {"IP=255.255.255.255;;", "IP=host.test;;", "IP=;;", "IP=1.2.3.4.5;;"}) {
        ClearHostList(0);
        ASSERT_EQ(Import(good + stop + "1=1;;2=2;;3=3;;4=4;;5=5;;6=6;;7=7;;8=8;;\n" + good), 0);
        EXPECT_EQ(Count(), 1) << stop;
    }
    EXPECT_TRUE(m_boxes.shown.empty());
}

TEST_F(LegacyImportTest, AFirstFieldWithoutEqualsSignTakesTheNextOne) {
    ASSERT_EQ(Import("10.0.0.5;;i=7.7.7.7;;t=1;;s=20;;g=0;;p=0;;f=1;;n=N;;d=D;;x=;;"), 0);
    ASSERT_EQ(Count(), 1);
    const CHostItem& h = *Row(0);
    EXPECT_EQ(Ip4(h), "7.7.7.7");
    EXPECT_EQ(h.interval.load(), 1u);
    EXPECT_EQ(h.timeout.load(), 20u);
    EXPECT_EQ(h.packetsize.load(), 12u);
    EXPECT_EQ(h.mail_priority, 1);
    EXPECT_EQ(h.advance.load(), 2u);
    EXPECT_EQ(h.name, "D");
    EXPECT_EQ(h.descript, "");
}

TEST_F(LegacyImportTest, ARecordCutShortKeepsItsHostWithTheFieldsReadAndEndsTheList) {
    const std::string full = "IP=10.0.0.1;;1=1;;2=2;;3=30;;4=4;;5=5;;6=6;;7=n;;8=d;;\n";
    const CHostItem fresh;
    // The seventh ";;" is missing: flags, name and description keep a new host's values.
    ASSERT_EQ(Import(full + "IP=10.0.0.2;;i=1500;;t=800;;s=64;;g=4;;p=5;;f=1"), 0);
    ASSERT_EQ(Count(), 2);
    const CHostItem& cut = *Row(1);
    EXPECT_EQ(Ip4(cut), "10.0.0.2");
    EXPECT_EQ(cut.interval.load(), 1500u);
    EXPECT_EQ(cut.timeout.load(), 800u);
    EXPECT_EQ(cut.packetsize.load(), 64u);
    EXPECT_EQ(cut.mail_group, 4);
    EXPECT_EQ(cut.mail_priority, 5);
    EXPECT_EQ(cut.advance.load(), fresh.advance.load());
    EXPECT_EQ(cut.name, "");
    EXPECT_EQ(cut.list_flags.load() & kListUnfilled, 0u);

    // A field without '=' ends the list after its host; the record after it is not read.
    ASSERT_EQ(Import("IP=10.0.0.3;;i=1;;t=2;;no equals sign;;g=4;;p=5;;f=0;;n=x;;d=y;;\n" + full),
              0);
    ASSERT_EQ(Count(), 3);
    const CHostItem& odd = *Row(2);
    EXPECT_EQ(Ip4(odd), "10.0.0.3");
    EXPECT_EQ(odd.timeout.load(), 2u);
    EXPECT_EQ(odd.packetsize.load(), fresh.packetsize.load());
    EXPECT_EQ(odd.mail_priority, fresh.mail_priority);
    EXPECT_EQ(odd.name, "");
    EXPECT_EQ(m_hooks.rebuilds, 2);
    EXPECT_EQ(StoredSetup(), Snapshot());
}

TEST_F(LegacyImportTest, AFullTableStopsTheListAndStillSaves) {
    Recreate(2);
    Add("existing", "10.9.9.9");
    ASSERT_EQ(Import(kThree), 0);
    ASSERT_EQ(Count(), 2);
    EXPECT_EQ(Ip4(*Row(1)), "10.0.0.1");
    EXPECT_EQ(m_hooks.rebuilds, 1);
    EXPECT_NE(StoreInode(), 0u);
}

// ---- the five failures ---------------------------------------------------------------------

TEST_F(LegacyImportTest, FileThatCannotBeOpened) {
    Add("existing", "10.9.9.9");
    ExpectRefused(ImportLegacyHostList(m_dir.File("missing.txt")), kLegacyOpenFailed,
                  "Open File Error");
    m_boxes.shown.clear();
    ExpectRefused(ImportLegacyHostList(m_dir.path()), kLegacyOpenFailed, "Open File Error");
    m_boxes.shown.clear();
    const std::string fifo = m_dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    ExpectRefused(ImportLegacyHostList(fifo), kLegacyOpenFailed, "Open File Error");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(LegacyImportTest, EmptyFile) {
    Add("existing", "10.9.9.9");
    ExpectRefused(Import(""), kLegacyBadLength, "Set File Error");
}

TEST_F(LegacyImportTest, FileTooLargeForABuffer) {
    Add("existing", "10.9.9.9");
    const std::string path = m_dir.File("huge.txt");
    WriteFile(path, kThree);
    ASSERT_EQ(truncate(path.c_str(), kMaxLegacyFileSize + 1), 0);  // sparse, nothing written
    ExpectRefused(ImportLegacyHostList(path), kLegacyAllocFailed, "Alloc buffer Error!");
}

struct FailingAccess : LegacyFileAccess {
    bool failRewind = false;
    bool shortRead = false;
    bool SeekStart() override { return !failRewind && LegacyFileAccess::SeekStart(); }
    size_t Read(char* buffer, size_t count) override {
        const size_t got = LegacyFileAccess::Read(buffer, count);
        return shortRead && got > 0 ? got - 1 : got;
    }
};

TEST_F(LegacyImportTest, RewindFailure) {
    Add("existing", "10.9.9.9");
    const std::string path = m_dir.File("hosts.txt");
    WriteFile(path, kThree);
    FailingAccess access;
    access.failRewind = true;
    ExpectRefused(ImportLegacyHostList(path, &access), kLegacyRewindFailed, "Reset File Error");
}

TEST_F(LegacyImportTest, ShortRead) {
    Add("existing", "10.9.9.9");
    const std::string path = m_dir.File("hosts.txt");
    WriteFile(path, kThree);
    FailingAccess access;
    access.shortRead = true;
    ExpectRefused(ImportLegacyHostList(path, &access), kLegacyShortRead, "Read File Length Error");
}

// ---- hostile input -------------------------------------------------------------------------

// The nine fields of a record as texts, in file order.
std::vector<std::string> Fields(const LegacyHost& h) {
    return {std::to_string(h.addr4),
            std::to_string(h.interval),
            std::to_string(h.timeout),
            std::to_string(h.packetsize),
            std::to_string(h.mail_group),
            std::to_string(h.mail_priority),
            std::to_string(h.advance),
            h.name,
            h.descript};
}

// True when `a` holds the first `a.fields` fields of `b`, and nothing for the rest.
bool SameFieldsRead(const LegacyHost& a, const LegacyHost& b) {
    if (a.fields < 1 || a.fields > b.fields)
        return false;
    const std::vector<std::string> got = Fields(a);
    const std::vector<std::string> whole = Fields(b);
    const std::vector<std::string> unread = Fields(LegacyHost{});
    for (int f = 0; f < 9; ++f) {
        if (got[f] != (f < a.fields ? whole[f] : unread[f]))
            return false;
    }
    return true;
}

TEST(LegacyParseTest, EveryTruncationGivesWholeFieldsOnly) {
    const std::vector<LegacyHost> full = ParseLegacyHostList(kThree, 100);
    ASSERT_EQ(full.size(), 3u);
    for (size_t cut = 0; cut <= kThree.size(); ++cut) {
        const std::vector<LegacyHost> part = ParseLegacyHostList(kThree.substr(0, cut), 100);
        ASSERT_LE(part.size(), full.size()) << cut;
        // Records before the last are whole; the last holds the fields the cut left whole.
        for (size_t i = 0; i < part.size(); ++i) {
            EXPECT_TRUE(SameFieldsRead(part[i], full[i])) << cut << " record " << i;
            if (i + 1 < part.size()) {
                EXPECT_EQ(part[i].fields, 9) << cut << " record " << i;
            }
        }
    }
    // A NUL byte ends the data as the end of the file does.
    std::string withNul = kThree;
    withNul.insert(kThree.find("x=10.0.0.2"), 1, '\0');
    EXPECT_EQ(ParseLegacyHostList(withNul, 100).size(), 1u);
    EXPECT_EQ(ParseLegacyHostList(kThree, 2).size(), 2u);
}

TEST_F(LegacyImportTest, RandomBytesNeverCrash) {
    std::mt19937 rng(5);
    const std::string alphabet = "=;;\r\n10.0.0.1.x";
    for (int round = 0; round < 300; ++round) {
        std::string bytes(1 + rng() % 800, '\0');
        for (char& c : bytes)
            c = round % 2 == 0 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        const std::vector<LegacyHost> hosts = ParseLegacyHostList(bytes, 65535);
        for (const LegacyHost& h : hosts) {
            EXPECT_NE(h.addr4, INADDR_NONE);
            EXPECT_TRUE(h.fields >= 1 && h.fields <= 9);
            EXPECT_TRUE(h.fields < 4 || h.packetsize >= 12u);
            EXPECT_TRUE(h.fields < 2 || h.interval != 0u);
            EXPECT_TRUE(h.fields < 7 || h.advance != 0u);
        }
    }
    // And through the whole import once, under the sanitizers.
    std::string bytes(4000, '\0');
    for (char& c : bytes)
        c = alphabet[rng() % alphabet.size()];
    EXPECT_EQ(Import(bytes), 0);
}

}  // namespace
