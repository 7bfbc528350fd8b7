#include "config/registry_storage.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/registry_store.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Document(size_t length, uint8_t seed) {
    std::vector<uint8_t> doc(length);
    for (size_t i = 0; i < length; ++i)
        doc[i] = static_cast<uint8_t>(seed + i * 7 + i / 1000);
    return doc;
}

std::string Le32(uint32_t v) {
    const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
    return std::string(b, 4);
}

class RegistryStorageTest : public testsupport::SandboxTest {
protected:
    RegistryValues Stored() const {
        RegistryValues values;
        EXPECT_EQ(RegistryKey(kSetupStoreFile).Load(values), RegistryLoadStatus::kOk);
        return values;
    }
    static void Put(const RegistryValues& values) {
        ASSERT_TRUE(RegistryKey(kSetupStoreFile).Commit(values));
    }
    std::string AutostartFile() const {
        return m_dir.File("config") + "/autostart/velmora.desktop";
    }
};

TEST_F(RegistryStorageTest, ThreeThousandBytesMakeFourChunks) {
    const auto doc = Document(3000, 1);
    ASSERT_EQ(SaveRegistryBlob(doc.data(), 3000), 1);
    RegistryValues values = Stored();
    ASSERT_EQ(values.size(), 5u);
    for (int i = 0; i < 3; ++i) {
        const std::string name = "item" + std::to_string(i);
        EXPECT_EQ(values[name].type, kRegBinary);
        EXPECT_EQ(values[name].data,
                  std::string(reinterpret_cast<const char*>(doc.data()) + 1000 * i, 1000));
    }
    EXPECT_TRUE(values["item3"].data.empty()) << "the empty last chunk is written";
    EXPECT_EQ(values["MaxLength"].data, Le32(3000));

    std::vector<uint8_t> buffer(8000);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), static_cast<int>(buffer.size())), 3000);
    EXPECT_TRUE(std::equal(doc.begin(), doc.end(), buffer.begin()));
}

TEST_F(RegistryStorageTest, ShortDocumentIsOneChunk) {
    const auto doc = Document(999, 2);
    ASSERT_EQ(SaveRegistryBlob(doc.data(), 999), 1);
    RegistryValues values = Stored();
    EXPECT_EQ(values.size(), 2u);
    EXPECT_EQ(values["item0"].data.size(), 999u);
    EXPECT_EQ(values["MaxLength"].data, Le32(999));
    std::vector<uint8_t> buffer(999);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 999), 999);
    EXPECT_EQ(buffer, doc);
}

TEST_F(RegistryStorageTest, ChunkNamesAreLowerCaseHex) {
    const auto doc = Document(17500, 3);
    ASSERT_EQ(SaveRegistryBlob(doc.data(), 17500), 1);
    RegistryValues values = Stored();
    EXPECT_EQ(values.count("itema"), 1u);
    EXPECT_EQ(values.count("itemf"), 1u);
    EXPECT_EQ(values["item10"].data.size(), 1000u);
    EXPECT_EQ(values["item11"].data.size(), 500u);
    EXPECT_EQ(values.count("item12"), 0u);
}

TEST_F(RegistryStorageTest, LargestDocumentEndsWithChunk20c4) {
    const auto doc = Document(8388608, 4);
    ASSERT_EQ(SaveRegistryBlob(doc.data(), 8388608), 1);
    RegistryValues values = Stored();
    EXPECT_EQ(values["item20c4"].data.size(), 608u);
    std::vector<uint8_t> buffer(8388608);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8388608), 8388608);
    EXPECT_EQ(buffer, doc);
}

TEST_F(RegistryStorageTest, ShorterDocumentKeepsOlderChunks) {
    const auto longDoc = Document(5500, 5);
    const auto shortDoc = Document(2100, 6);
    ASSERT_EQ(SaveRegistryBlob(longDoc.data(), 5500), 1);
    ASSERT_EQ(SaveRegistryBlob(shortDoc.data(), 2100), 1);
    RegistryValues values = Stored();
    for (const char* name : {"item0", "item1", "item2", "item3", "item4", "item5"})
        EXPECT_EQ(values.count(name), 1u) << name;
    EXPECT_EQ(values["item2"].data.size(), 100u);
    EXPECT_EQ(values["item5"].data.size(), 500u) << "the old last chunk stays";
    std::vector<uint8_t> buffer(8000);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), 2100);
    EXPECT_TRUE(std::equal(shortDoc.begin(), shortDoc.end(), buffer.begin()));
}

TEST_F(RegistryStorageTest, LoadResultsOfBrokenKeys) {
    std::vector<uint8_t> buffer(8000);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), -1) << "missing key";

    RegistryValues v;
    v["item0"] = {kRegBinary, std::string(1000, 'a')};
    v["item1"] = {kRegBinary, std::string(10, 'b')};
    Put(v);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), -2) << "chunks without MaxLength";

    v["MaxLength"] = {kRegBinary, std::string("\x0A\x00", 2)};
    Put(v);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), -1) << "MaxLength of 2 bytes";

    v["MaxLength"] = {kRegBinary, Le32(1011)};
    Put(v);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), -2) << "MaxLength differs from the total";

    v["MaxLength"] = {kRegBinary, Le32(1010) + "x"};
    Put(v);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), -2) << "MaxLength longer than 4 bytes";

    v["MaxLength"] = {kRegBinary, Le32(1010)};
    Put(v);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), 1010);

    v.erase("item1");
    Put(v);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), -1) << "a chunk is missing";
}

TEST_F(RegistryStorageTest, ChunkLargerThanRoomFailsWithoutOverrun) {
    const auto doc = Document(3000, 7);
    ASSERT_EQ(SaveRegistryBlob(doc.data(), 3000), 1);
    std::vector<uint8_t> buffer(2000, 0xEE);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 1500), -1);
    for (size_t i = 1500; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xEE) << i;
    // Exactly enough room for the full chunks and the empty last one.
    std::vector<uint8_t> exact(3000);
    EXPECT_EQ(LoadRegistryBlob(exact.data(), 3000), 3000);
}

TEST_F(RegistryStorageTest, BrokenStoreFileReadsAsMissingAndIsKept) {
    const auto doc = Document(2500, 8);
    ASSERT_EQ(SaveRegistryBlob(doc.data(), 2500), 1);
    const std::string path = RegistryKey(kSetupStoreFile).Path();
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f.put('!');
    }
    std::vector<uint8_t> buffer(8000);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), -1);
    bool keptAside = false;
    for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
        keptAside |= e.path().filename().string().rfind("setup.hive.corrupt-", 0) == 0;
    EXPECT_TRUE(keptAside);
    // Saving afterwards works and does not touch the kept file.
    ASSERT_EQ(SaveRegistryBlob(doc.data(), 2500), 1);
    EXPECT_EQ(LoadRegistryBlob(buffer.data(), 8000), 2500);
}

TEST_F(RegistryStorageTest, UnreadableStoreIsNeverOverwritten) {
    fs::create_directories(RegistryKey(kSetupStoreFile).Path());
    const auto doc = Document(10, 9);
    EXPECT_EQ(SaveRegistryBlob(doc.data(), 10), 0);
    EXPECT_TRUE(fs::is_directory(RegistryKey(kSetupStoreFile).Path()));
}

TEST_F(RegistryStorageTest, RunAtLogonEntry) {
    ASSERT_EQ(SetRunAtLogon(2), 1);
    std::ifstream in(AutostartFile());
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::string exec = "Exec=" + DesktopExecQuote(ExecutablePath()) + " ICON\n";
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    EXPECT_NE(text.find(exec), std::string::npos) << text;
    EXPECT_EQ(ExecutablePath().front(), '/');
    // Shown like the application entry installed with the program.
    EXPECT_NE(text.find("\nName=Velmora IPV6\nIcon=velmora\n"), std::string::npos) << text;

    ASSERT_EQ(SetRunAtLogon(0), 1);
    std::ifstream again(AutostartFile());
    const std::string plain((std::istreambuf_iterator<char>(again)), {});
    EXPECT_NE(plain.find("Exec=" + DesktopExecQuote(ExecutablePath()) + "\n"), std::string::npos);

    EXPECT_EQ(ClearRunAtLogon(), 1);
    EXPECT_FALSE(fs::exists(AutostartFile()));
    EXPECT_EQ(ClearRunAtLogon(), 0) << "nothing left to delete";
}

TEST_F(RegistryStorageTest, RunAtLogonWithoutAutostartDirectory) {
    const std::string blocked = m_dir.File("blocked");
    std::ofstream(blocked).put('x');
    setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
    EXPECT_EQ(SetRunAtLogon(2), 1);
    EXPECT_EQ(ClearRunAtLogon(), 0);
}

// A saving process killed at random moments always leaves a store that loads as the old
// document or the new one, byte for byte.
TEST_F(RegistryStorageTest, KillDuringSaveLeavesOldOrNew) {
    const auto docA = Document(300500, 10);
    const auto docB = Document(120250, 11);
    ASSERT_EQ(SaveRegistryBlob(docA.data(), static_cast<int>(docA.size())), 1);

    // How long one save takes here sets the range of kill moments.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(SaveRegistryBlob(docB.data(), static_cast<int>(docB.size())), 1);
    const auto saveUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::mt19937 rng(12345);
    std::uniform_int_distribution<long> delay(0, 3 * saveUs + 100);

    std::vector<uint8_t> buffer(8388608);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    int rounds = 0;
    int sawA = 0;
    int sawB = 0;
    while (rounds < 300 && std::chrono::steady_clock::now() < deadline) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            for (unsigned k = 0;; ++k) {
                const auto& doc = (k % 2) ? docA : docB;
                SaveRegistryBlob(doc.data(), static_cast<int>(doc.size()));
                if (k == 0 && write(ready[1], "r", 1) != 1)
                    _exit(1);
            }
        }
        close(ready[1]);
        char c = 0;
        const bool started = read(ready[0], &c, 1) == 1;
        close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(started);
        ++rounds;

        const int length = LoadRegistryBlob(buffer.data(), static_cast<int>(buffer.size()));
        if (length == static_cast<int>(docA.size())) {
            ASSERT_TRUE(std::equal(docA.begin(), docA.end(), buffer.begin())) << rounds;
            ++sawA;
        } else {
            ASSERT_EQ(length, static_cast<int>(docB.size())) << "round " << rounds;
            ASSERT_TRUE(std::equal(docB.begin(), docB.end(), buffer.begin())) << rounds;
            ++sawB;
        }
    }
    EXPECT_GE(rounds, 20);
    EXPECT_GT(sawA, 0);
    EXPECT_GT(sawB, 0);
    // Leftovers of killed saves are cleared by the next save.
    ASSERT_EQ(SaveRegistryBlob(docA.data(), static_cast<int>(docA.size())), 1);
    int entries = 0;
    for (const auto& e :
         fs::directory_iterator(fs::path(RegistryKey(kSetupStoreFile).Path()).parent_path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

}  // namespace
