#include "platform/ini_file.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

using namespace std::string_literals;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

IniFile Parsed(std::string_view text) {
    IniFile ini;
    ini.Parse(text);
    return ini;
}

TEST(IniFileTest, LookupFollowsTheProfileRules) {
    const std::string text =
        "\xEF\xBB\xBF"
        "orphan=before any section\r\n"
        "  [ General ]  \r\n"
        "  Version =  4.0.0  \r\n"
        "; comment=not a key\r\n"
        "no equals sign here\n"
        "dq=\"  quoted  \"\r"
        "sq='x'\r\n"
        "lonequote=\"\n"
        "mixed=\"abc'\n"
        "inner=a \"b\" c\n"
        "empty=\n"
        "dup=first\n"
        "DUP=second\n"
        "nul=ab\0cd\n"s
        "[general]\n"
        "later=in the second section of the same name\n"
        "[Other]\n"
        "k=other\n";
    const IniFile ini = Parsed(text);

    EXPECT_EQ(ini.GetString("GENERAL", "version", "-"), "4.0.0");
    EXPECT_EQ(ini.GetString("general", "VERSION", "-"), "4.0.0");
    EXPECT_EQ(ini.GetString("General", "dq", "-"), "  quoted  ");
    EXPECT_EQ(ini.GetString("General", "sq", "-"), "x");
    EXPECT_EQ(ini.GetString("General", "lonequote", "-"), "\"");
    EXPECT_EQ(ini.GetString("General", "mixed", "-"), "\"abc'");
    EXPECT_EQ(ini.GetString("General", "inner", "-"), "a \"b\" c");
    EXPECT_EQ(ini.GetString("General", "empty", "-"), "");
    EXPECT_EQ(ini.GetString("General", "dup", "-"), "first");
    EXPECT_EQ(ini.GetString("General", "nul", "-"), "ab");
    EXPECT_EQ(ini.GetString("Other", "K", "-"), "other");
    // Comments, lines without '=', keys before the first section and a second section of
    // the same name are never found.
    EXPECT_EQ(ini.GetString("General", "; comment", "-"), "-");
    EXPECT_EQ(ini.GetString("General", "no equals sign here", "-"), "-");
    EXPECT_EQ(ini.GetString("", "orphan", "-"), "-");
    EXPECT_EQ(ini.GetString("General", "later", "-"), "-");
    EXPECT_FALSE(ini.Find("General", "later").has_value());
    EXPECT_FALSE(ini.Find("Missing", "k").has_value());
    EXPECT_TRUE(ini.HasSection(" other "));
}

TEST(IniFileTest, ReadsAreWholeOrCutToAGivenBufferAtACharacterBoundary) {
    const std::string longValue(300, 'v');
    // "é" is two bytes; placed so that byte 255 is its second byte.
    const std::string utf8 = std::string(254, 'a') + "\xC3\xA9" + "tail";
    const IniFile ini = Parsed("[S]\nlong=" + longValue + "\nutf8=" + utf8 + "\n");
    EXPECT_EQ(ini.GetString("S", "long", ""), longValue);
    EXPECT_EQ(ini.GetString("S", "long", "", 256), std::string(255, 'v'));
    EXPECT_EQ(ini.GetString("S", "long", "", 10), std::string(9, 'v'));
    EXPECT_EQ(ini.GetString("S", "utf8", "", 256), std::string(254, 'a'));
    EXPECT_EQ(ini.GetString("S", "utf8", "", 257), std::string(254, 'a') + "\xC3\xA9");
    EXPECT_EQ(*ini.Find("S", "long"), longValue);
    // The default is cut alike.
    EXPECT_EQ(ini.GetString("S", "missing", longValue, 256), std::string(255, 'v'));
}

TEST(IniFileTest, IntegersReadAsTheProfileFunctionsReadThem) {
    const IniFile ini = Parsed(
        "[S]\nneg=-12\nplus=+7\nword=abc\nlead=12abc\nwrap=4294967295\nblank= 42 \n"
        "quoted=\"5\"\nempty=\nhuge=99999999999\n");
    EXPECT_EQ(ini.GetInt("S", "neg", 9), -12);
    EXPECT_EQ(ini.GetInt("S", "plus", 9), 7);
    EXPECT_EQ(ini.GetInt("S", "word", 9), 0);
    EXPECT_EQ(ini.GetInt("S", "lead", 9), 12);
    EXPECT_EQ(ini.GetInt("S", "wrap", 9), -1);
    EXPECT_EQ(ini.GetInt("S", "blank", 9), 42);
    EXPECT_EQ(ini.GetInt("S", "quoted", 9), 5);
    EXPECT_EQ(ini.GetInt("S", "empty", 9), 9);
    EXPECT_EQ(ini.GetInt("S", "missing", 9), 9);
    EXPECT_EQ(ini.GetInt("S", "huge", 9), static_cast<int32_t>(99999999999LL & 0xFFFFFFFF));
}

TEST(IniFileTest, WritesKeepEveryOtherLineAndPlaceNewKeysAfterTheLastKey) {
    IniFile ini = Parsed(
        "; header comment\n[A]\n  x = 1 \nstray line\ny=2\n\n; trailing comment\n[B]\nz=3\n");
    ini.WriteString("a", "X", "10");     // replaces the first match, any case
    ini.WriteString("A", "new", "n");    // after y, before the blank and the comment
    ini.WriteString("C", "c", "added");  // a new section at the end
    ini.WriteInt("B", "w", -5);
    EXPECT_EQ(ini.Serialize(),
              "; header comment\r\n[A]\r\nx=10\r\nstray line\r\ny=2\r\nnew=n\r\n\r\n"
              "; trailing comment\r\n[B]\r\nz=3\r\nw=-5\r\n[C]\r\nc=added\r\n");
    EXPECT_EQ(ini.GetInt("A", "x", 0), 10);
}

TEST(IniFileTest, LineBreaksInAValueCannotStartKeysOrSections) {
    IniFile ini;
    ini.WriteString("General", "exefilename", "prog\r\n[item1]\r\nIP=127.0.0.1\nsendmail=0");
    ini.WriteString("General", "sendmail", "1");
    ini.WriteString("General", "cut", "before\0after"s);
    const IniFile back = Parsed(ini.Serialize());
    EXPECT_FALSE(back.HasSection("item1"));
    EXPECT_EQ(back.GetString("General", "exefilename", ""),
              "prog  [item1]  IP=127.0.0.1 sendmail=0");
    EXPECT_EQ(back.GetInt("General", "sendmail", 9), 1);
    EXPECT_EQ(back.GetString("General", "cut", ""), "before");
}

TEST(IniFileTest, EveryValueComesBackAsWrittenSaveLineBreaksAndNul) {
    std::mt19937 rng(1234);
    const std::string alphabet = " \t\"'=;[]ab\r\n\xC3\xA9";
    IniFile ini;
    std::vector<std::string> values;
    for (int i = 0; i < 500; ++i) {
        std::string v;
        const int length = static_cast<int>(rng() % 12);
        for (int k = 0; k < length; ++k)
            v += alphabet[rng() % alphabet.size()];
        values.push_back(v);
        ini.WriteString("S", "k" + std::to_string(i), v);
    }
    const IniFile back = Parsed(ini.Serialize());
    for (size_t i = 0; i < values.size(); ++i) {
        std::string expected = values[i];
        for (char& c : expected) {
            if (c == '\r' || c == '\n')
                c = ' ';
        }
        EXPECT_EQ(*back.Find("S", "k" + std::to_string(i)), expected) << i;
    }
}

TEST(IniFileTest, LargeSectionsKeepFirstMatchSemantics) {
    std::string text = "[Big]\n";
    for (int i = 0; i < 2000; ++i)
        text += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    text += "KEY5=duplicate\n";
    IniFile ini = Parsed(text);
    EXPECT_EQ(ini.GetInt("big", "key1999", -1), 1999);
    EXPECT_EQ(ini.GetInt("big", "key5", -1), 5);
    ini.WriteString("Big", "Key7", "seven");
    ini.WriteString("Big", "fresh", "f");
    EXPECT_EQ(ini.GetString("Big", "key7", ""), "seven");
    EXPECT_EQ(ini.GetString("Big", "FRESH", ""), "f");
    EXPECT_EQ(ini.GetInt("Big", "key5", -1), 5);
}

TEST(IniFileTest, SaveReplacesTheFileWholeAndLoadReadsItBack) {
    testsupport::TempDir dir;
    const std::string path = dir.File("setup.txt");
    WriteAll(path, "old contents\n");
    IniFile ini;
    ini.WriteString("General", "version", "4.0.0");
    ASSERT_TRUE(ini.Save(path, 0600));
    EXPECT_EQ(ReadAll(path), "[General]\r\nversion=4.0.0\r\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    IniFile loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.GetString("general", "version", ""), "4.0.0");
    // A directory that does not exist: nothing written, nothing left behind.
    EXPECT_FALSE(ini.Save(dir.File("missing/setup.txt"), 0600));
    EXPECT_FALSE(loaded.Load(dir.File("missing/setup.txt")));
}

TEST(IniFileTest, LoadRefusesWhatIsNoRegularFileWithoutBlocking) {
    testsupport::TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    IniFile ini;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ini.Load(fifo));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(ini.Load(dir.path()));
    // Larger than any export could be: refused before anything is read.
    const std::string big = dir.File("big.ini");
    WriteAll(big, "[General]\nversion=1\n");
    ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(kMaxIniFileSize) + 1), 0);
    EXPECT_FALSE(ini.Load(big));
    EXPECT_FALSE(ini.HasSection("General"));
    // So many lines that parsing them could exhaust memory: refused, read as empty.
    WriteAll(big, "[General]\nversion=1\n" + std::string(kMaxIniLines, '\n'));
    EXPECT_FALSE(ini.Load(big));
    EXPECT_FALSE(ini.HasSection("General"));
    WriteAll(big, "[General]\r\nversion=1\r\n" + std::string(kMaxIniLines - 2, '\r'));
    EXPECT_TRUE(ini.Load(big));
    EXPECT_EQ(ini.GetString("General", "version", ""), "1");
}

class WinIniTest : public testsupport::SandboxTest {};

TEST_F(WinIniTest, SystemProfileLivesInTheConfigurationDirectory) {
    const std::string path = WinIniPath();
    EXPECT_EQ(path, m_dir.path() + "/config/velmora/win.ini");
    EXPECT_EQ(GetProfileString("Velmora IPV6", "Width", "none"), "none");
    ASSERT_TRUE(WriteProfileString("Velmora IPV6", "Width", "100,200"));
    ASSERT_TRUE(WriteProfileString("Velmora IPV6", "Index", "0,1"));
    ASSERT_TRUE(WriteProfileString("velmora ipv6", "width", "120,200"));
    EXPECT_EQ(GetProfileString("Velmora IPV6", "Width", ""), "120,200");
    EXPECT_EQ(GetProfileInt("Velmora IPV6", "Missing", 7), 7);
    EXPECT_EQ(ReadAll(path), "[Velmora IPV6]\r\nWidth=120,200\r\nIndex=0,1\r\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(WinIniTest, AFileThatCannotBeReadIsNeverReplaced) {
    const std::string path = WinIniPath();
    ASSERT_TRUE(WriteProfileString("S", "k", "v"));
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_FALSE(WriteProfileString("S", "k", "w"));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    rmdir(path.c_str());
}

TEST(IniFileTest, HostileTextNeverCrashesAndLookupsStayConsistent) {
    const std::string sample =
        "[General]\r\nversion=4.0.0\r\nname=\"x y\"\r\n[item1]\r\nIP=127.0.0.1 \r\n";
    for (size_t cut = 0; cut <= sample.size(); ++cut) {
        const IniFile ini = Parsed(sample.substr(0, cut));
        const std::string v = ini.GetString("General", "version", "");
        EXPECT_TRUE(std::string("4.0.0").compare(0, v.size(), v) == 0) << cut;
        const IniFile again = Parsed(ini.Serialize());
        EXPECT_EQ(again.GetString("General", "version", ""), v) << cut;
    }
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        std::string bytes(rng() % 2000, '\0');
        for (char& c : bytes)
            c = static_cast<char>(round % 2 == 0 ? rng() : "[]=;\"' \r\nab"[rng() % 11]);
        IniFile ini = Parsed(bytes);
        ini.GetString("a", "b", "");
        ini.GetInt("ab", "a", 0);
        ini.WriteString("a", "b", bytes.substr(0, 40));
        const IniFile back = Parsed(ini.Serialize());
        EXPECT_EQ(back.GetString("a", "b", "-"), ini.GetString("a", "b", "-")) << round;
    }
}

}  // namespace
