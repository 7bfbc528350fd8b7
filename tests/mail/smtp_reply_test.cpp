#include "mail/smtp_reply.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(SmtpReplyTest, SingleLineReply) {
    const SmtpReplyParse p = ParseSmtpReply("220 mail.test ready\r\n");
    ASSERT_EQ(p.status, SmtpReplyParse::kComplete);
    EXPECT_EQ(p.code, 220);
    EXPECT_EQ(p.text, "220 mail.test ready");
    EXPECT_EQ(p.consumed, 21u);
}

TEST(SmtpReplyTest, MultiLineReplyIsTakenWholeAndLeavesTheNextReply) {
    const std::string data = "250-mail.test\r\n250-AUTH LOGIN\r\n250 HELP\r\n334 VXNlcm5hbWU6\r\n";
    const SmtpReplyParse p = ParseSmtpReply(data);
    ASSERT_EQ(p.status, SmtpReplyParse::kComplete);
    EXPECT_EQ(p.code, 250);
    EXPECT_EQ(p.text, "250-mail.test\r\n250-AUTH LOGIN\r\n250 HELP");
    const SmtpReplyParse next = ParseSmtpReply(std::string_view(data).substr(p.consumed));
    ASSERT_EQ(next.status, SmtpReplyParse::kComplete);
    EXPECT_EQ(next.code, 334);
    EXPECT_EQ(next.consumed, data.size() - p.consumed);
}

TEST(SmtpReplyTest, EveryPrefixOfAReplyIsIncomplete) {
    // A reply split anywhere across reads is only complete with its final CR LF.
    const std::string data = "250-first\r\n250-second\r\n250 last\r\n";
    for (size_t cut = 0; cut < data.size(); ++cut) {
        const SmtpReplyParse p = ParseSmtpReply(std::string_view(data).substr(0, cut));
        EXPECT_EQ(p.status, SmtpReplyParse::kIncomplete) << cut;
    }
    EXPECT_EQ(ParseSmtpReply(data).status, SmtpReplyParse::kComplete);
}

TEST(SmtpReplyTest, LinesWithoutACodeEndTheReplyAndMatchNoCode) {
    const SmtpReplyParse p = ParseSmtpReply("hello there\r\n");
    ASSERT_EQ(p.status, SmtpReplyParse::kComplete);
    EXPECT_EQ(p.code, -1);
    EXPECT_EQ(ParseSmtpReply("2x0 odd\r\n").code, -1);
    EXPECT_EQ(ParseSmtpReply("25\r\n").code, -1);
    const SmtpReplyParse bare = ParseSmtpReply("221\r\n");
    EXPECT_EQ(bare.code, 221);
    EXPECT_EQ(bare.text, "221");
    // A lone LF does not end a line.
    EXPECT_EQ(ParseSmtpReply("250 ok\n").status, SmtpReplyParse::kIncomplete);
}

TEST(SmtpReplyTest, OverlongLinesAndRepliesAreRefused) {
    EXPECT_EQ(ParseSmtpReply(std::string(kMaxReplyLineBytes, 'x')).status,
              SmtpReplyParse::kIncomplete);
    // The longest line may still be waiting for the LF of its CR LF.
    EXPECT_EQ(ParseSmtpReply(std::string(kMaxReplyLineBytes, 'x') + "\r").status,
              SmtpReplyParse::kIncomplete);
    EXPECT_EQ(ParseSmtpReply("250 " + std::string(kMaxReplyLineBytes - 4, 'x') + "\r\n").status,
              SmtpReplyParse::kComplete);
    EXPECT_EQ(ParseSmtpReply(std::string(kMaxReplyLineBytes + 1, 'x')).status,
              SmtpReplyParse::kTooLong);
    EXPECT_EQ(ParseSmtpReply(std::string(kMaxReplyLineBytes, 'x') + "y\r\n").status,
              SmtpReplyParse::kTooLong);

    std::string many;
    while (many.size() < kMaxReplyBytes)
        many += "250-" + std::string(90, 'e') + "\r\n";
    EXPECT_EQ(ParseSmtpReply(many).status, SmtpReplyParse::kTooLong);
    EXPECT_EQ(ParseSmtpReply(many.substr(0, kMaxReplyBytes)).status, SmtpReplyParse::kTooLong);
}

TEST(SmtpReplyTest, SurvivesTruncationAndRandomBytes) {
    const std::string data =
        "250-mail.test greets you\r\n250-SIZE 1000\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n";
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        const SmtpReplyParse p = ParseSmtpReply(std::string_view(data).substr(0, cut));
        EXPECT_LE(p.consumed, cut);
    }
    std::mt19937 random(4242);
    const char alphabet[] = "0123456789- \r\nx";
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 300, '\0');
        for (char& c : bytes)
            c = (random() & 1) != 0 ? static_cast<char>(random() & 0xFF)
                                    : alphabet[random() % (sizeof alphabet - 1)];
        const SmtpReplyParse p = ParseSmtpReply(bytes);
        ASSERT_LE(p.consumed, bytes.size());
        if (p.status == SmtpReplyParse::kComplete) {
            ASSERT_GE(p.consumed, 2u);
            ASSERT_EQ(bytes.substr(p.consumed - 2, 2), "\r\n");
            ASSERT_EQ(p.text, bytes.substr(0, p.consumed - 2));
            ASSERT_TRUE(p.code == -1 || (p.code >= 0 && p.code <= 999));
        }
    }
}

}  // namespace
