#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "mail/smtp_client.h"

namespace {

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            m_had = true;
            m_old = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

// The header without its Message-ID line, which differs on every call and must be there.
std::string WithoutMessageId(const std::string& header) {
    std::smatch id;
    const std::regex line("Message-ID: <[0-9]+\\.[0-9]+\\.[0-9]+@[A-Za-z0-9.-]+>\r\n");
    EXPECT_TRUE(std::regex_search(header, id, line)) << header;
    return id.empty() ? header : id.prefix().str() + id.suffix().str();
}

CSMTPMessage TwoRecipientMessage() {
    CSMTPMessage message;
    message.m_From = CSMTPAddress("Monitor", "monitor@example.test");
    message.AddRecipient(CSMTPAddress("ops@example.test", "ops@example.test"));
    message.AddRecipient(CSMTPAddress("", "boss@example.test"));
    message.m_sSubject = "Host down";
    return message;
}

TEST(SmtpMessageTest, HeaderLinesInOrderForNormalAndHighPriority) {
    ScopedTimeZone utc("UTC");
    const CSMTPMessage message = TwoRecipientMessage();
    const time_t when = 1796688000;  // 2026-12-08 00:00:00 UTC, a Tuesday
    const std::string mime =
        "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
        "Content-Transfer-Encoding: 7bit\r\n\r\n";
    EXPECT_EQ(WithoutMessageId(message.BuildHeaderAt(0, when)),
              "From: Monitor <monitor@example.test>\r\n"
              "To: <ops@example.test>,boss@example.test\r\n"
              "Subject: Host down\r\n"
              "Date: Tue, 08 Dec 2026 00:00:00 +0000\r\n"
              "X-Mailer: CSMTPConnection v1.21\r\n" +
                  mime);
    EXPECT_EQ(WithoutMessageId(message.BuildHeaderAt(1, when)),
              "From: Monitor <monitor@example.test>\r\n"
              "To: <ops@example.test>,boss@example.test\r\n"
              "Subject: Host down\r\n"
              "Date: Tue, 08 Dec 2026 00:00:00 +0000\r\n"
              "X-Priority: 1\r\n"
              "X-MSMail-Priority: High\r\n"
              "X-Mailer: CSMTPConnection v1.21\r\n" +
                  mime);
    EXPECT_NE(message.BuildHeaderAt(0, when), message.BuildHeaderAt(0, when));
}

TEST(SmtpMessageTest, EmptySenderNameAndNoRecipients) {
    CSMTPMessage message;
    message.m_From = CSMTPAddress("", "a@b.test");
    const std::string header = message.BuildHeader(0);
    EXPECT_EQ(header.rfind("From: a@b.test\r\nTo: \r\nSubject: \r\nDate: ", 0), 0u) << header;
}

TEST(SmtpMessageTest, DateUsesEnglishNamesAndTheLocalZone) {
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(CSMTPMessage::FormatDate(1796688000), "Tue, 08 Dec 2026 01:00:00 +0100");
    EXPECT_EQ(CSMTPMessage::FormatDate(1782900000), "Wed, 01 Jul 2026 12:00:00 +0200");
    const std::regex shape(
        "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-2][0-9]:[0-5][0-9]:"
        "[0-6][0-9] [+-][0-9]{4}");
    EXPECT_TRUE(std::regex_match(CSMTPMessage::FormatDate(time(nullptr)), shape));
}

TEST(SmtpMessageTest, LineBreaksInHeaderValuesBecomeBlanks) {
    ScopedTimeZone utc("UTC");
    CSMTPMessage message;
    message.m_From = CSMTPAddress("Evil\r\nBcc: victim@x.test", "a@b.test");
    message.AddRecipient(CSMTPAddress("x\ny", "c@d.test"));
    message.m_sSubject = "down\r\nBcc: victim@x.test\rX: y";
    const std::string header = message.BuildHeaderAt(0, 0);
    EXPECT_NE(header.find("From: \"Evil  Bcc: victim@x.test\" <a@b.test>\r\n"), std::string::npos);
    EXPECT_NE(header.find("To: x y <c@d.test>\r\n"), std::string::npos);
    EXPECT_NE(header.find("Subject: down  Bcc: victim@x.test X: y\r\n"), std::string::npos);
    // Exactly the nine lines and the empty line: nothing smuggled in between.
    size_t lines = 0;
    for (size_t at = header.find("\r\n"); at != std::string::npos; at = header.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(lines, 10u);
    EXPECT_EQ(header.find('\n'), header.find("\r\n") + 1);
}

TEST(SmtpMessageTest, BodyLineEndsAreNormalisedThenDotsStuffed) {
    CSMTPMessage message;
    message.SetBody(".first\r\nsecond\n.third\r.fourth\r\n..fifth\n\nlast.");
    EXPECT_EQ(message.GetBody(),
              "..first\r\nsecond\r\n..third\r\n..fourth\r\n...fifth\r\n\r\nlast.");
    // A lone LF before a dot can no longer end the data early.
    message.SetBody("a\n.\nb");
    EXPECT_EQ(message.GetBody(), "a\r\n..\r\nb");
    message.SetBody("");
    EXPECT_EQ(message.GetBody(), "");
    message.SetBody(".");
    EXPECT_EQ(message.GetBody(), "..");

    std::string text = ".a\n.b";
    CSMTPMessage::StuffDots(text);
    EXPECT_EQ(text, "..a\n..b");
    EXPECT_EQ(CSMTPMessage::NormalizeLineEnds("\r\r\n\n\r"), "\r\n\r\n\r\n\r\n");
}

TEST(SmtpMessageTest, RecipientsKeepTheirOrder) {
    CSMTPMessage message;
    EXPECT_EQ(message.AddRecipient(CSMTPAddress("a", "a@x.test")), 0);
    EXPECT_EQ(message.AddRecipient(CSMTPAddress("b", "b@x.test")), 1);
    EXPECT_EQ(message.GetNumberOfRecipients(), 2);
    ASSERT_TRUE(message.GetRecipient(1).has_value());
    EXPECT_EQ(message.GetRecipient(1)->m_sEmailAddress, "b@x.test");
    EXPECT_FALSE(message.GetRecipient(2).has_value());
    EXPECT_FALSE(message.GetRecipient(-1).has_value());
    EXPECT_EQ(CSMTPAddress("", "x@y.test").FormatAddress(), "x@y.test");
    EXPECT_EQ(CSMTPAddress("X Y", "x@y.test").FormatAddress(), "X Y <x@y.test>");
    EXPECT_EQ(CSMTPAddress("x@y.test", "x@y.test").FormatAddress(), "<x@y.test>");
    EXPECT_EQ(CSMTPAddress("Ops, \"Nacht\" \\ 2", "x@y.test").FormatAddress(),
              "\"Ops, \\\"Nacht\\\" \\\\ 2\" <x@y.test>");
}

TEST(SmtpMessageTest, ALongRecipientListIsFoldedBelowTheLineLimit) {
    // Servers refuse header lines over 998 bytes; 300 recipients must still make a mail.
    CSMTPMessage message;
    message.m_From = CSMTPAddress("", "a@example.test");
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        const std::string address = "user" + std::to_string(i) + "@example.test";
        message.AddRecipient(CSMTPAddress("", address));
        expected += (i > 0 ? "," : "") + address;
    }
    const std::string header = message.BuildHeaderAt(0, 0);
    const size_t to = header.find("To: ");
    const size_t subject = header.find("\r\nSubject: ");
    ASSERT_NE(to, std::string::npos);
    ASSERT_NE(subject, std::string::npos);
    std::string field = header.substr(to + 4, subject - to - 4);
    size_t lines = 1;
    for (size_t start = 0, end; (end = field.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        EXPECT_LE(end - start, 78u);
        EXPECT_EQ(field[end + 2], ' ');  // a continuation line starts with a blank
        ++lines;
    }
    EXPECT_GT(lines, 1u);
    // Unfolded, the field is exactly the comma-separated list.
    std::string unfolded;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field.compare(i, 3, "\r\n ") == 0)
            i += 2;
        else
            unfolded += field[i];
    }
    EXPECT_EQ(unfolded, expected);
}

TEST(SmtpMessageTest, FoldingLeavesNoLineOfBlanksAlone) {
    // A lax reader takes a line of blanks for the end of the header.
    CSMTPMessage message = TwoRecipientMessage();
    message.m_sSubject = std::string(75, 'a') + "\r\n" + std::string(80, 'b') + " \t ";
    EXPECT_NE(message.BuildHeaderAt(0, 0).find("\r\nSubject: " + std::string(75, 'a') + "\r\n  " +
                                               std::string(80, 'b') + " \t \r\nDate: "),
              std::string::npos);
}

TEST(SmtpMessageTest, AWordTooLongToFoldGoesAsEncodedWords) {
    CSMTPMessage message = TwoRecipientMessage();
    message.m_From = CSMTPAddress(std::string(1000, 'n'), "a@b.test");
    message.m_sSubject = "see " + std::string(1200, 'x');
    const std::string header = message.BuildHeaderAt(0, 0);
    for (size_t start = 0, end; (end = header.find("\r\n", start)) != std::string::npos;
         start = end + 2)
        EXPECT_LE(end - start, 998u);
    EXPECT_EQ(header.rfind("From: =?UTF-8?B?bm5u", 0), 0u);
    EXPECT_NE(header.find("\r\nSubject: =?UTF-8?B?c2VlIHh4"), std::string::npos);
}

TEST(SmtpMessageTest, ALineWithEncodedWordsStaysWithin76Characters) {
    CSMTPMessage message = TwoRecipientMessage();
    message.m_From = CSMTPAddress(std::string(37, 'a') + "\xC3\xBC", "a@b.c");
    const std::string header = message.BuildHeaderAt(0, 0);
    EXPECT_EQ(header.rfind("From: =?UTF-8?B?", 0), 0u);
    EXPECT_LE(header.find("\r\n"), 76u);
}

TEST(SmtpMessageTest, MailResultFollowsTheFailingStep) {
    EXPECT_EQ(MailResultOf(false, true, true), kMailResultSent);
    EXPECT_EQ(MailResultOf(true, true, true), kMailResultSent);
    EXPECT_EQ(MailResultOf(true, false, false), kMailResultLoginConnectFailed);
    EXPECT_EQ(MailResultOf(false, false, true), kMailResultConnectFailed);
    EXPECT_EQ(MailResultOf(false, true, false), kMailResultSendFailed);
    EXPECT_EQ(MailResultOf(true, true, false), kMailResultSendFailed);
    EXPECT_EQ(kMailResultSent, 0);
    EXPECT_EQ(kMailResultLoginConnectFailed, 1);
    EXPECT_EQ(kMailResultConnectFailed, 2);
    EXPECT_EQ(kMailResultSendFailed, 3);
}

}  // namespace
