#include "platform/archive.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Written(const std::string& text) {
    Bytes out(text.size() + 16);
    ArchiveWriter w(out.data(), out.size());
    EXPECT_TRUE(w.WriteText(text));
    out.resize(w.size());
    return out;
}

Bytes Concat(Bytes prefix, const std::string& body) {
    prefix.insert(prefix.end(), body.begin(), body.end());
    return prefix;
}

bool ReadOne(const Bytes& data, std::string& text) {
    ArchiveReader r(data.data(), data.size());
    return r.ReadText(text) && r.remaining() == 0;
}

TEST(ArchiveTest, NumbersAreLittleEndianWithoutPadding) {
    uint8_t buf[11];
    ArchiveWriter w(buf, sizeof buf);
    ASSERT_TRUE(w.WriteByte(0xAB));
    ASSERT_TRUE(w.WriteWord(0x1234));
    ASSERT_TRUE(w.WriteInt(-2));
    ASSERT_TRUE(w.WriteUInt(0x89ABCDEF));
    EXPECT_EQ(Bytes(buf, buf + 11),
              (Bytes{0xAB, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0xEF, 0xCD, 0xAB, 0x89}));

    ArchiveReader r(buf, sizeof buf);
    uint8_t b = 0;
    uint16_t word = 0;
    int32_t i = 0;
    uint32_t u = 0;
    ASSERT_TRUE(r.ReadByte(b) && r.ReadWord(word) && r.ReadInt(i) && r.ReadUInt(u));
    EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(i, -2);
    EXPECT_EQ(u, 0x89ABCDEFu);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_FALSE(r.ReadByte(b));
}

// The prefix changes form at 255 and 65,534 bytes; both sides of each edge, both ways.
TEST(ArchiveTest, TextPrefixBoundaries) {
    struct Case {
        size_t length;
        Bytes prefix;
    };
    const Case cases[] = {
        {0, {0x00}},
        {254, {0xFE}},
        {255, {0xFF, 0xFF, 0x00}},
        {65533, {0xFF, 0xFD, 0xFF}},
        {65534, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
        {70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
    };
    for (const Case& c : cases) {
        std::string text(c.length, 'x');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char>('a' + i % 26);
        const Bytes bytes = Written(text);
        ASSERT_EQ(bytes.size(), c.prefix.size() + c.length) << c.length;
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + c.prefix.size()), c.prefix) << c.length;
        EXPECT_EQ(ArchiveTextSize(c.length), bytes.size());
        std::string back;
        ASSERT_TRUE(ReadOne(bytes, back)) << c.length;
        EXPECT_EQ(back, text);
    }
}

TEST(ArchiveTest, ReaderAcceptsNonCanonicalPrefixes) {
    const std::string body = "hello";
    const Bytes forms[] = {
        Concat({0xFF, 0x05, 0x00}, body),
        Concat({0xFF, 0xFF, 0xFF, 0x05, 0x00, 0x00, 0x00}, body),
        Concat({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0, 0, 0, 0, 0, 0, 0}, body),
    };
    for (const Bytes& form : forms) {
        std::string text;
        ASSERT_TRUE(ReadOne(form, text));
        EXPECT_EQ(text, body);
    }
}

TEST(ArchiveTest, WideTextsBecomeUtf8) {
    // "hé" + U+1F600 (a surrogate pair) + an unpaired high surrogate at the end.
    const Bytes wide = {0xFF, 0xFE, 0xFF, 0x05, 'h',  0x00, 0xE9,
                        0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8};
    std::string text;
    ASSERT_TRUE(ReadOne(wide, text));
    EXPECT_EQ(text, "h\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD");

    // After the marker the length follows the same scheme: here a word, 0xFFFE included.
    Bytes longWide = {0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF};
    for (int i = 0; i < 0xFFFE; ++i) {
        longWide.push_back('A');
        longWide.push_back(0);
    }
    ASSERT_TRUE(ReadOne(longWide, text));
    EXPECT_EQ(text, std::string(0xFFFE, 'A'));

    // An odd number of bytes left cannot hold the declared units.
    const Bytes oddWide = {0xFF, 0xFE, 0xFF, 0x02, 'a', 0x00, 'b'};
    EXPECT_FALSE(ReadOne(oddWide, text));
}

TEST(ArchiveTest, TruncatedPrefixesAndBodiesFailCleanly) {
    const Bytes whole[] = {
        Written(std::string(10, 'q')),
        Written(std::string(300, 'q')),
        Written(std::string(65534, 'q')),
        Concat({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0, 0, 0, 0, 0, 0, 0}, "abc"),
        Bytes{0xFF, 0xFE, 0xFF, 0x02, 'a', 0x00, 'b', 0x00},
    };
    for (const Bytes& bytes : whole) {
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            ArchiveReader r(bytes.data(), cut);
            std::string text = "untouched";
            EXPECT_FALSE(r.ReadText(text)) << cut;
            EXPECT_FALSE(r.ok());
            EXPECT_EQ(text, "untouched");
            uint8_t b = 0;
            EXPECT_FALSE(r.ReadByte(b)) << "a failed reader stays failed";
        }
    }
}

// Lengths far beyond the data must fail before any allocation: an attempt to allocate
// them would abort (and does, loudly, under the sanitizers).
TEST(ArchiveTest, DeclaredLengthBeyondDataFailsBeforeAllocating) {
    const Bytes huge[] = {
        {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 'x'},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0x40, 'x'},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'x', 0},
        {0x05, 'a', 'b', 'c', 'd'},
    };
    for (const Bytes& bytes : huge) {
        ArchiveReader r(bytes.data(), bytes.size());
        std::string text;
        EXPECT_FALSE(r.ReadText(text));
        EXPECT_TRUE(text.empty());
    }
}

TEST(ArchiveTest, WriterNeverPassesItsCapacity) {
    Bytes buf(12, 0xEE);
    ArchiveWriter w(buf.data(), 10);
    ASSERT_TRUE(w.WriteInt(7));
    // 1 + 6 bytes do not fit the 6 left: nothing of the text is written.
    EXPECT_FALSE(w.WriteText("abcdef"));
    EXPECT_EQ(w.size(), 4u);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_FALSE(w.ok());
    EXPECT_FALSE(w.WriteByte(1)) << "a failed writer stays failed";
    EXPECT_EQ(buf[10], 0xEE);
    EXPECT_EQ(buf[11], 0xEE);

    uint8_t exact[6];
    ArchiveWriter fits(exact, sizeof exact);
    EXPECT_TRUE(fits.WriteText("abcde"));
    EXPECT_EQ(fits.size(), 6u);
}

}  // namespace
