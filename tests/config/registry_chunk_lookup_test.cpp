// The setup store's chunks are looked for in stored order first; these cases store them
// in other orders, and check the names a store file may hold only once.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "config/registry_storage.h"
#include "platform/registry_store.h"

namespace {

class ChunkLookupTest : public testsupport::SandboxTest {
protected:
    // A document of `length` bytes stored as its chunks in the order `order` gives
    // (indices into the chunk list), with MaxLength stored first.
    void Store(size_t length, const std::vector<int>& order) {
        m_document.resize(length);
        for (size_t i = 0; i < length; ++i)
            m_document[i] = static_cast<char>(i * 13 + i / 1000);
        const int chunks = static_cast<int>(length) / kRegistryChunkSize + 1;
        m_names.clear();
        for (int i = 0; i < chunks; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "item%x", static_cast<unsigned>(i));
            m_names.emplace_back(name);
        }
        const uint32_t total = static_cast<uint32_t>(length);
        m_max = {static_cast<char>(total), static_cast<char>(total >> 8),
                 static_cast<char>(total >> 16), static_cast<char>(total >> 24)};
        RegistryValueViews values = {{"MaxLength", kRegBinary, m_max}};
        for (int i : order) {
            const size_t offset = static_cast<size_t>(i) * kRegistryChunkSize;
            const size_t size = std::min<size_t>(kRegistryChunkSize, length - offset);
            values.push_back({m_names[static_cast<size_t>(i)], kRegBinary,
                              std::string_view(m_document).substr(offset, size)});
        }
        ASSERT_TRUE(RegistryKey(kSetupStoreFile).Commit(values));
    }

    std::string Loaded(int expect) {
        std::vector<uint8_t> buffer(m_document.size() + 1);
        EXPECT_EQ(LoadRegistryBlob(buffer.data(), static_cast<int>(buffer.size())), expect);
        return std::string(buffer.begin(), buffer.begin() + static_cast<long>(m_document.size()));
    }

    std::string m_document;
    std::string m_max;
    std::vector<std::string> m_names;
};

TEST_F(ChunkLookupTest, ChunksInAnyOrderGiveTheSameDocument) {
    const size_t length = 20500;  // chunks item0 .. item14, the last one short
    std::vector<int> reversed;
    for (int i = 20; i >= 0; --i)
        reversed.push_back(i);
    Store(length, reversed);
    EXPECT_EQ(Loaded(static_cast<int>(length)), m_document);

    // In order but for two swapped pairs: the lookup must go back as well as forward.
    std::vector<int> mostly;
    for (int i = 0; i <= 20; ++i)
        mostly.push_back(i);
    std::swap(mostly[3], mostly[4]);
    std::swap(mostly[10], mostly[17]);
    Store(length, mostly);
    EXPECT_EQ(Loaded(static_cast<int>(length)), m_document);
}

TEST_F(ChunkLookupTest, AChunkMissingAnywhereFailsTheLoad) {
    for (int missing : {0, 7, 19}) {
        std::vector<int> order;
        for (int i = 0; i <= 20; ++i) {
            if (i != missing)
                order.push_back(i);
        }
        Store(20500, order);
        Loaded(-1);
    }
}

TEST(StoreNamesTest, ANameGivenTwiceIsFoundAmongThousands) {
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i)
        names.push_back("value" + std::to_string(i));
    names.push_back("");
    RegistryValueViews values;
    for (const std::string& name : names)
        values.push_back({name, kRegBinary, "x"});
    RegistryValueViews decoded;
    ASSERT_TRUE(DecodeRegistryFile(EncodeRegistryFile(values), decoded));
    EXPECT_EQ(decoded.size(), names.size());

    // Commit would refuse such a file; the encoder writes it as given.
    for (const char* repeated : {"value0", "value4999", ""}) {
        RegistryValueViews twice = values;
        twice.push_back({repeated, kRegBinary, "y"});
        EXPECT_FALSE(DecodeRegistryFile(EncodeRegistryFile(twice), decoded)) << repeated;
    }
}

}  // namespace
