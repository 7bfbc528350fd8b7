#include "platform/registry_store.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/test_support.h"

namespace {

namespace fs = std::filesystem;

class RegistryStoreTest : public testsupport::SandboxTest {
protected:
    std::string ConfigDir() const { return m_dir.File("config") + "/velmora"; }

    static RegistryValues Sample() {
        RegistryValues values;
        values["item0"] = {kRegBinary, std::string("\x00\x01\xFF", 3)};
        values["name"] = {kRegString, "text"};
        values["empty"] = {kRegBinary, ""};
        return values;
    }

    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(ConfigDir()))
            names.push_back(e.path().filename().string());
        return names;
    }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

TEST_F(RegistryStoreTest, CommitCreatesPrivateDirectoryAndFile) {
    const RegistryKey key("k.hive");
    ASSERT_TRUE(key.Commit(Sample()));
    struct stat st {};
    ASSERT_EQ(stat(ConfigDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(key.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    RegistryValues back;
    ASSERT_EQ(key.Load(back), RegistryLoadStatus::kOk);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back["item0"].data, std::string("\x00\x01\xFF", 3));
    EXPECT_EQ(back["name"].type, kRegString);
    EXPECT_EQ(back["name"].data, "text");
    EXPECT_TRUE(back["empty"].data.empty());
    EXPECT_EQ(Entries().size(), 1u) << "no temporary file stays behind";
}

TEST_F(RegistryStoreTest, FallsBackToHomeConfig) {
    const std::string oldHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", m_dir.path().c_str(), 1);
    EXPECT_EQ(RegistryDirectory(), m_dir.path() + "/.config/velmora");
    EXPECT_EQ(AutostartDirectory(), m_dir.path() + "/.config/autostart");
    setenv("XDG_CONFIG_HOME", "relative/path", 1);
    EXPECT_EQ(RegistryDirectory(), m_dir.path() + "/.config/velmora");
    setenv("HOME", oldHome.c_str(), 1);
}

TEST_F(RegistryStoreTest, MissingKeyReadsAsMissing) {
    RegistryValues values;
    EXPECT_EQ(RegistryKey("none.hive").Load(values), RegistryLoadStatus::kMissing);
    EXPECT_TRUE(values.empty());
}

// Every truncation and every single-bit flip of a store file is refused.
TEST_F(RegistryStoreTest, DecodeRefusesEveryTruncationAndBitFlip) {
    const std::string good = EncodeRegistryFile(Sample());
    RegistryValues values;
    ASSERT_TRUE(DecodeRegistryFile(good, values));
    for (size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(DecodeRegistryFile(good.substr(0, cut), values)) << cut;
    for (size_t i = 0; i < good.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string bad = good;
            bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
            EXPECT_FALSE(DecodeRegistryFile(bad, values)) << i << ":" << bit;
        }
    }
    EXPECT_FALSE(DecodeRegistryFile(good + "x", values));
}

TEST_F(RegistryStoreTest, BrokenFileIsSetAsideAndNeverOverwritten) {
    const RegistryKey key("k.hive");
    ASSERT_TRUE(key.Commit(Sample()));
    std::string bytes = ReadFile(key.Path());
    bytes[bytes.size() / 2] ^= 0x20;
    WriteFile(key.Path(), bytes);

    RegistryValues values;
    std::string aside;
    EXPECT_EQ(key.Load(values, &aside), RegistryLoadStatus::kSetAside);
    EXPECT_TRUE(values.empty());
    EXPECT_FALSE(fs::exists(key.Path()));
    ASSERT_FALSE(aside.empty());
    EXPECT_NE(aside.find("k.hive.corrupt-"), std::string::npos);
    EXPECT_EQ(ReadFile(aside), bytes);

    // A second broken file the same second gets its own name.
    WriteFile(key.Path(), "garbage");
    std::string aside2;
    EXPECT_EQ(key.Load(values, &aside2), RegistryLoadStatus::kSetAside);
    EXPECT_NE(aside2, aside);
    EXPECT_EQ(ReadFile(aside), bytes);
    EXPECT_EQ(ReadFile(aside2), "garbage");

    ASSERT_TRUE(key.Commit(Sample()));
    EXPECT_EQ(key.Load(values), RegistryLoadStatus::kOk);
    EXPECT_EQ(ReadFile(aside), bytes);
}

TEST_F(RegistryStoreTest, CommitRefusesWhatCouldNotBeReadBack) {
    const RegistryKey key("k.hive");
    ASSERT_TRUE(key.Commit(Sample()));
    const std::string before = ReadFile(key.Path());
    RegistryValues longName;
    longName[std::string(16384, 'n')] = {kRegBinary, "x"};
    EXPECT_FALSE(key.Commit(longName));
    const RegistryValueViews twice = {{"a", kRegBinary, "1"}, {"a", kRegBinary, "2"}};
    EXPECT_FALSE(key.Commit(twice));
    EXPECT_EQ(ReadFile(key.Path()), before);
}

TEST_F(RegistryStoreTest, UnreadableKeyIsAnErrorAndLeftAlone) {
    const RegistryKey key("k.hive");
    fs::create_directories(key.Path());  // a directory where the file should be
    RegistryValues values;
    EXPECT_EQ(key.Load(values), RegistryLoadStatus::kError);
    EXPECT_TRUE(fs::is_directory(key.Path()));
}

TEST_F(RegistryStoreTest, StaleTemporariesOfDeadWritersAreRemoved) {
    const RegistryKey key("k.hive");
    ASSERT_TRUE(key.Commit(Sample()));
    // pid 2^22 + 1 is above the largest pid the kernel hands out.
    const std::string stale = key.Path() + ".tmp.4194305.0";
    const std::string live = key.Path() + ".tmp." + std::to_string(getppid()) + ".0";
    WriteFile(stale, "x");
    WriteFile(live, "y");
    ASSERT_TRUE(key.Commit(Sample()));
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(live)) << "a running writer's file is not touched";
}

TEST_F(RegistryStoreTest, FailedCommitLeavesOldFile) {
    const RegistryKey key("k.hive");
    ASSERT_TRUE(key.Commit(Sample()));
    const std::string before = ReadFile(key.Path());
    // The directory refuses new files (root ignores modes, so make the name a file).
    const std::string blocked = m_dir.File("blocked");
    WriteFile(blocked, "");
    setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
    EXPECT_FALSE(RegistryKey("k.hive").Commit(RegistryValues{}));
    setenv("XDG_CONFIG_HOME", m_dir.File("config").c_str(), 1);
    EXPECT_EQ(ReadFile(key.Path()), before);
}

// A commit into a full file system fails and leaves the old contents whole.
TEST_F(RegistryStoreTest, FullDiskKeepsOldContents) {
    VELMORA_REQUIRE_ROOT();
    const std::string mountPoint = m_dir.File("small");
    fs::create_directories(mountPoint);
    if (testsupport::RunShell("mount -t tmpfs -o size=128k tmpfs '" + mountPoint +
                              "' 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    setenv("XDG_CONFIG_HOME", mountPoint.c_str(), 1);
    const RegistryKey key("k.hive");
    RegistryValues small = Sample();
    const bool smallOk = key.Commit(small);
    RegistryValues big;
    big["item0"] = {kRegBinary, std::string(200 * 1024, 'b')};
    const bool bigOk = key.Commit(big);
    RegistryValues back;
    const RegistryLoadStatus status = key.Load(back);
    const std::string dirListing = [&] {
        std::string names;
        for (const auto& e : fs::directory_iterator(mountPoint + "/velmora"))
            names += e.path().filename().string() + " ";
        return names;
    }();
    testsupport::RunShell("umount '" + mountPoint + "'");
    ASSERT_TRUE(smallOk);
    EXPECT_FALSE(bigOk);
    ASSERT_EQ(status, RegistryLoadStatus::kOk);
    EXPECT_EQ(back.size(), small.size());
    EXPECT_EQ(back["item0"].data, small["item0"].data);
    EXPECT_EQ(dirListing, "k.hive ") << "the failed temporary file is removed";
}

TEST_F(RegistryStoreTest, DesktopExecQuoting) {
    EXPECT_EQ(DesktopExecQuote("/usr/bin/velmora"), "\"/usr/bin/velmora\"");
    EXPECT_EQ(DesktopExecQuote("/opt/my app/v"), "\"/opt/my app/v\"");
    // '$' and '"' get a backslash, which the file format then doubles; '%' is doubled.
    EXPECT_EQ(DesktopExecQuote("/a$b\"c%d"), "\"/a\\\\$b\\\\\"c%%d\"");
    EXPECT_EQ(DesktopExecQuote("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(DesktopExecQuote("/a`b"), "\"/a\\\\`b\"");
    EXPECT_EQ(DesktopExecQuote("/a\nb\tc"), "\"/a\\nb\\tc\"");
}

}  // namespace

namespace {

TEST(RegistryChecksumTest, HardwareAndTableFormsAgree) {
    EXPECT_EQ(Crc32c("123456789", 9), 0xE3069283u);
    EXPECT_EQ(Crc32cPortable("123456789", 9), 0xE3069283u);
    std::string data(100010, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + (i >> 7));
    for (size_t offset : {0, 1, 3, 7}) {
        for (size_t size : {0, 1, 7, 8, 9, 4096, 100000}) {
            EXPECT_EQ(Crc32c(data.data() + offset, size),
                      Crc32cPortable(data.data() + offset, size))
                << offset << "/" << size;
        }
    }
}

}  // namespace

namespace {

TEST(RegistryFileTest, DuplicateNamesAndImpossibleCountsAreRefused) {
    const RegistryValueViews twice = {{"a", kRegBinary, "1"}, {"a", kRegBinary, "2"}};
    RegistryValueViews views;
    EXPECT_FALSE(DecodeRegistryFile(EncodeRegistryFile(twice), views));

    // A count far beyond what the file can hold, with a valid checksum.
    std::string bytes = EncodeRegistryFile(RegistryValueViews{});
    bytes[12] = '\xFF';
    bytes[13] = '\xFF';
    bytes[14] = '\xFF';
    bytes[15] = '\x7F';
    const uint32_t crc = Crc32c(bytes.data(), bytes.size() - 4);
    for (int i = 0; i < 4; ++i)
        bytes[bytes.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
    EXPECT_FALSE(DecodeRegistryFile(bytes, views));

    const RegistryValueViews two = {{"a", kRegString, "x"}, {"b", kRegBinary, ""}};
    const std::string encoded = EncodeRegistryFile(two);  // the views point into it
    ASSERT_TRUE(DecodeRegistryFile(encoded, views));
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[0].name, "a");
    EXPECT_EQ(views[0].type, kRegString);
    EXPECT_EQ(views[1].data, "");
}

}  // namespace
