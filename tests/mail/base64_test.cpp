#include "mail/base64.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string Encode64(const std::string& text) {
    CMimeString holder(CMimeString::kEncode, CMimeString::kBase64Algo, text);
    EXPECT_TRUE(holder.HasResult());
    EXPECT_EQ(holder.GetLength(), std::char_traits<char>::length(holder.GetResult()));
    return holder.GetResult();
}

TEST(Base64Test, EncodesKnownVectorsWithPadding) {
    // The test vectors of the standard: every tail length and the padding it gets.
    EXPECT_EQ(Encode64(""), "");
    EXPECT_EQ(Encode64("f"), "Zg==");
    EXPECT_EQ(Encode64("fo"), "Zm8=");
    EXPECT_EQ(Encode64("foo"), "Zm9v");
    EXPECT_EQ(Encode64("foob"), "Zm9vYg==");
    EXPECT_EQ(Encode64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Encode64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Encode64("user@example.org"), "dXNlckBleGFtcGxlLm9yZw==");
}

TEST(Base64Test, EncodesHighBytesAndZeroBytes) {
    // Bytes of 0x80 and above must not be sign-extended into wrong groups.
    EXPECT_EQ(Encode64(std::string("\xff\xff\xff", 3)), "////");
    EXPECT_EQ(Encode64(std::string("\xfb\xff", 2)), "+/8=");
    EXPECT_EQ(Encode64(std::string("\x80", 1)), "gA==");
    EXPECT_EQ(Encode64(std::string("\x00\x00\x00\x00", 4)), "AAAAAA==");
    EXPECT_EQ(Encode64("p\xc3\xa4ss\xe2\x82\xac"), "cMOkc3Pigqw=");
}

TEST(Base64Test, SixtyBytesMakeOneLineOfEighty) {
    const std::string encoded = Encode64(std::string(60, 'a'));
    EXPECT_EQ(encoded.size(), 80u);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
    const std::string longer = Encode64(std::string(3000, '\x9c'));
    EXPECT_EQ(longer.size(), 4000u);
    EXPECT_EQ(longer.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64Test, DecodeRoundTripsRandomBytes) {
    std::mt19937 random(12345);
    for (size_t length = 0; length < 200; ++length) {
        std::string bytes(length, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random() & 0xFF);
        const std::string encoded = Encode64(bytes);
        CMimeString decoded(CMimeString::kDecode, CMimeString::kBase64Algo, encoded);
        ASSERT_TRUE(decoded.HasResult()) << length;
        EXPECT_EQ(decoded.GetString(), bytes) << length;

        CMimeString packed(CMimeString::kEncode, CMimeString::kMimeAlgo, bytes);
        ASSERT_TRUE(packed.HasResult());
        for (const char c : packed.GetString())
            ASSERT_LT(static_cast<unsigned char>(c), 0x40u);
        CMimeString unpacked(CMimeString::kDecode, CMimeString::kMimeAlgo, packed.GetString());
        ASSERT_TRUE(unpacked.HasResult()) << length;
        EXPECT_EQ(unpacked.GetString(), bytes) << length;
    }
}

TEST(Base64Test, DecodeRefusesMalformedText) {
    for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm9v!A==", "Zh==", "Zm9=Zm9v", "Zm 9"}) {
        CMimeString decoded(CMimeString::kDecode, CMimeString::kBase64Algo, bad);
        EXPECT_FALSE(decoded.HasResult()) << bad;
        EXPECT_EQ(decoded.GetLength(), 0u) << bad;
        EXPECT_STREQ(decoded.GetResult(), "") << bad;
    }
    CMimeString good(CMimeString::kDecode, CMimeString::kBase64Algo, "Zm9vYmE=");
    EXPECT_EQ(good.GetString(), "fooba");
}

TEST(Base64Test, UnknownAlgorithmOrDirectionLeavesNoResult) {
    CMimeString unknownAlgo(CMimeString::kEncode, 7, "abc");
    EXPECT_FALSE(unknownAlgo.HasResult());
    EXPECT_EQ(unknownAlgo.GetLength(), 0u);
    CMimeString unknownDirection(5, CMimeString::kBase64Algo, "abc");
    EXPECT_FALSE(unknownDirection.HasResult());
    EXPECT_STREQ(unknownDirection.GetResult(), "");
}

TEST(Base64Test, BitMaskCountsFromTheTopBit) {
    EXPECT_EQ(CMimeAlgo::BitMask(0, 5), 0xFC);
    EXPECT_EQ(CMimeAlgo::BitMask(6, 7), 0x03);
    EXPECT_EQ(CMimeAlgo::BitMask(0, 7), 0xFF);
    EXPECT_EQ(CMimeAlgo::BitMask(3, 3), 0x10);
    const uint8_t block[3] = {0x4D, 0x61, 0x6E};  // "Man" -> TWFu
    EXPECT_EQ(CBase64Algo::GetSextet(block, 0), 19);
    EXPECT_EQ(CBase64Algo::GetSextet(block, 1), 22);
    EXPECT_EQ(CBase64Algo::GetSextet(block, 2), 5);
    EXPECT_EQ(CBase64Algo::GetSextet(block, 3), 46);
}

}  // namespace
