// The SMTP client against a real server (aiosmtpd on 127.0.0.1, started per test).

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "mail/smtp_client.h"
#include "mail/smtp_test_server.h"
#include "mail/tls_mail_server.h"
#include "platform/last_error.h"

namespace {

using mailtest::ReceivedMail;
using mailtest::SmtpServerOptions;
using mailtest::SmtpTestServer;
using mailtest::TlsMailServer;
using Clock = std::chrono::steady_clock;

const std::regex kDateLine(
    "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 20[0-9]{2} [0-2][0-9]:[0-5][0-9]:"
    "[0-6][0-9] [+-][0-9]{4}");

// A message built the way the mail queue thread builds one: every recipient's name is its
// address.
CSMTPMessage JobMessage(const std::vector<std::string>& recipients, const std::string& body) {
    CSMTPMessage message;
    message.m_From = CSMTPAddress("Velmora Monitor", "monitor@example.test");
    for (const std::string& r : recipients)
        message.AddRecipient(CSMTPAddress(r, r));
    message.m_sSubject = "Host 192.0.2.7 is down";
    message.SetBody(body);
    return message;
}

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A loopback port on which nothing listens (bound, then released).
uint16_t UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST(SmtpClientTest, PlainMailArrivesWithEnvelopeHeadersAndBody) {
    SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();

    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.port())) << connection.GetLastReply();
    const CSMTPMessage message =
        JobMessage({"ops@example.test", "boss@example.test", "night@example.test"},
                   ".starts with a dot\r\nplain\n..two dots\n.\nZ\xC3\xBCrich \xE2\x82\xAC\r\nend");
    ASSERT_TRUE(connection.SendMessage(message, 0)) << connection.GetLastReply();
    EXPECT_TRUE(connection.Disconnect());
    EXPECT_EQ(MailResultOf(false, true, true), kMailResultSent);

    ASSERT_TRUE(server.WaitForMessages(1));
    const ReceivedMail mail = server.Received().at(0);
    char host[100] = "";
    gethostname(host, sizeof host);
    EXPECT_EQ(mail.helo, std::strchr(host, '.') != nullptr ? host : "[127.0.0.1]");
    EXPECT_FALSE(mail.authUser.has_value());
    EXPECT_EQ(mail.mailFrom, "monitor@example.test");
    EXPECT_EQ(mail.rcptTos, (std::vector<std::string>{"ops@example.test", "boss@example.test",
                                                      "night@example.test"}));
    const std::vector<std::string> header = mail.HeaderLines();
    ASSERT_EQ(header.size(), 9u) << mail.data;
    EXPECT_EQ(header[0], "From: Velmora Monitor <monitor@example.test>");
    EXPECT_EQ(header[1], "To: <ops@example.test>,<boss@example.test>,<night@example.test>");
    EXPECT_EQ(header[2], "Subject: Host 192.0.2.7 is down");
    EXPECT_TRUE(std::regex_match(header[3], kDateLine)) << header[3];
    EXPECT_EQ(header[4], "X-Mailer: CSMTPConnection v1.21");
    EXPECT_EQ(header[8], "Content-Transfer-Encoding: 8bit");
    // Dot lines arrive as written, bare LFs as CR LF, high bytes untouched.
    EXPECT_EQ(mail.Body(),
              ".starts with a dot\r\nplain\r\n..two dots\r\n.\r\nZ\xC3\xBCrich \xE2\x82\xAC\r\n"
              "end\r\n");
}

TEST(SmtpClientTest, HighPriorityAddsTheTwoLinesBetweenDateAndMailer) {
    SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();
    {
        CSMTPConnection connection;
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));
        ASSERT_TRUE(connection.SendMessage(JobMessage({"ops@example.test"}, "urgent"), 1));
        EXPECT_TRUE(connection.Disconnect());
    }
    ASSERT_TRUE(server.WaitForMessages(1));
    const std::vector<std::string> header = server.Received().at(0).HeaderLines();
    ASSERT_EQ(header.size(), 11u);
    EXPECT_EQ(header[2], "Subject: Host 192.0.2.7 is down");
    EXPECT_TRUE(std::regex_match(header[3], kDateLine)) << header[3];
    EXPECT_EQ(header[4], "X-Priority: 1");
    EXPECT_EQ(header[5], "X-MSMail-Priority: High");
    EXPECT_EQ(header[6], "X-Mailer: CSMTPConnection v1.21");
    EXPECT_EQ(server.Received().at(0).Body(), "urgent\r\n");
}

TEST(SmtpClientTest, LoginWithGoodAndBadCredentials) {
    SmtpServerOptions options;
    const std::string user(700, 'u');  // near the longest that the server's lines allow
    options.authUser = user;
    options.authPassword = "s3cret pass";
    SmtpTestServer server(options);
    ASSERT_TRUE(server.Start()) << server.error();

    {
        CSMTPConnection connection;
        ASSERT_TRUE(connection.ConnectWithLogin("127.0.0.1", server.port(), user, "s3cret pass"))
            << connection.GetLastReply() << " error " << GetLastErrorCode();
        ASSERT_TRUE(connection.SendMessage(JobMessage({"ops@example.test"}, "hi"), 0));
        EXPECT_TRUE(connection.Disconnect());
    }
    ASSERT_TRUE(server.WaitForMessages(1));
    EXPECT_EQ(server.Received().at(0).authUser, user);

    // A refused login is answered at once, so the failure must come fast (the idle limit
    // of 18 s would show here), and it is mail result 1.
    CSMTPConnection connection;
    const auto start = Clock::now();
    const bool connected = connection.ConnectWithLogin("127.0.0.1", server.port(), user, "wrong");
    EXPECT_FALSE(connected);
    EXPECT_LT(ElapsedMs(start), 3000);
    EXPECT_EQ(GetLastErrorCode(), kWsaErrorProtocol);
    EXPECT_EQ(connection.GetLastReply().rfind("535", 0), 0u) << connection.GetLastReply();
    EXPECT_EQ(MailResultOf(true, connected, false), kMailResultLoginConnectFailed);
    EXPECT_FALSE(connection.IsConnected());

    // Without logging in, this server refuses the mail: a send failure, result 3.
    CSMTPConnection plain;
    ASSERT_TRUE(plain.Connect("127.0.0.1", server.port()));
    const bool sent = plain.SendMessage(JobMessage({"ops@example.test"}, "hi"), 0);
    EXPECT_FALSE(sent);
    EXPECT_EQ(MailResultOf(false, true, sent), kMailResultSendFailed);
    EXPECT_EQ(server.Received().size(), 1u);
}

TEST(SmtpClientTest, NothingListeningIsResultTwo) {
    const uint16_t port = UnusedPort();
    CSMTPConnection connection;
    const bool connected = connection.Connect("127.0.0.1", port);
    EXPECT_FALSE(connected);
    EXPECT_EQ(GetLastErrorCode(), kWsaErrorConnRefused);
    EXPECT_EQ(MailResultOf(false, connected, false), kMailResultConnectFailed);
    EXPECT_FALSE(connection.ConnectWithLogin("localhost", port, "u", "p"));
    EXPECT_EQ(MailResultOf(true, false, false), kMailResultLoginConnectFailed);
    EXPECT_FALSE(connection.Disconnect());
}

TEST(SmtpClientTest, RefusedRecipientLeavesTheOthersTheirMailAsResultThree) {
    SmtpServerOptions options;
    options.refuseRcpt = {"gone@example.test"};
    SmtpTestServer server(options);
    ASSERT_TRUE(server.Start()) << server.error();
    {
        CSMTPConnection connection;
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));
        const bool sent = connection.SendMessage(
            JobMessage({"ops@example.test", "gone@example.test", "boss@example.test"}, "x"), 0);
        EXPECT_FALSE(sent);
        EXPECT_EQ(GetLastErrorCode(), kErrorBadCommand);
        EXPECT_EQ(connection.GetLastReply().rfind("550", 0), 0u) << connection.GetLastReply();
        EXPECT_EQ(MailResultOf(false, true, sent), kMailResultSendFailed);
        EXPECT_TRUE(connection.IsConnected());  // the destructor ends the dialogue
    }
    // The mail went to the two accepted; with none accepted, nothing is sent.
    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));
    EXPECT_FALSE(connection.SendMessage(JobMessage({"gone@example.test"}, "y"), 0));
    EXPECT_TRUE(connection.Disconnect());
    ASSERT_TRUE(server.WaitForMessages(1));
    const std::vector<ReceivedMail> mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTos,
              (std::vector<std::string>{"ops@example.test", "boss@example.test"}));
}

TEST(SmtpClientTest, UnsafeAddressesAreRefusedBeforeAnythingIsSent) {
    SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();
    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));

    for (const std::string bad : {"a@example.test>\r\nRCPT TO:<evil@example.test",
                                  "a@example.test\nDATA", "<a@example.test", "a@b\rc"}) {
        CSMTPMessage message = JobMessage({"ops@example.test", bad}, "x");
        EXPECT_FALSE(connection.SendMessage(message, 0));
        EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
        message = JobMessage({"ops@example.test"}, "x");
        message.m_From.m_sEmailAddress = bad;
        EXPECT_FALSE(connection.SendMessage(message, 0));
        EXPECT_EQ(GetLastErrorCode(), kErrorInvalidParameter);
    }
    // Nothing was started on the server: a clean transaction still goes through
    // (a stray MAIL FROM would make the next one fail as a nested command).
    CSMTPMessage good = JobMessage({"ops@example.test"}, "clean");
    good.m_sSubject = "two\r\nBcc: evil@example.test";
    ASSERT_TRUE(connection.SendMessage(good, 0)) << connection.GetLastReply();
    EXPECT_TRUE(connection.Disconnect());
    ASSERT_TRUE(server.WaitForMessages(1));
    const ReceivedMail mail = server.Received().at(0);
    EXPECT_EQ(mail.rcptTos, std::vector<std::string>{"ops@example.test"});
    EXPECT_EQ(mail.HeaderLines().at(2), "Subject: two  Bcc: evil@example.test");
    EXPECT_EQ(mail.HeaderLines().size(), 9u);
}

TEST(SmtpClientTest, AStockServerTakesTheMailAndAMailReaderReadsItRight) {
    // Debian's exim4 with its stock checks refuses what does not parse; Python's mail parser
    // then reads what it took.
    SmtpServerOptions options;
    options.stockServer = true;
    SmtpTestServer server(options);
    ASSERT_TRUE(server.Start()) << server.error();
    const std::string body = "Der Host B\xC3\xBCro K\xC3\xB6ln antwortet nicht.\r\n" +
                             std::string(1200, '=') + " \r\n.\r\nEnde\r\n";
    CSMTPMessage message = JobMessage({"alice@localhost", "bob@localhost"}, body);
    message.m_From = CSMTPAddress("Admins, Standort K\xC3\xB6ln", "monitor@test.local");
    message.m_sSubject =
        "Host B\xC3\xBCro K\xC3\xB6ln (198.51.100.7) antwortet seit 10:05 "
        "nicht mehr, alle Anfragen verloren";
    {
        CSMTPConnection connection;
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.port())) << connection.GetLastReply();
        ASSERT_TRUE(connection.SendMessage(message, 1)) << connection.GetLastReply();
        EXPECT_TRUE(connection.Disconnect());
    }
    ASSERT_TRUE(server.WaitForMessages(1));
    ReceivedMail mail = server.Received().at(0);
    EXPECT_EQ(mail.reply.rfind("250 OK id=", 0), 0u) << mail.reply;
    EXPECT_EQ(mail.parsed["from"], "\"Admins, Standort K\xC3\xB6ln\" <monitor@test.local>");
    EXPECT_EQ(mail.parsed["from_count"], "1");
    EXPECT_EQ(mail.parsed["to"], "alice@localhost, bob@localhost");
    EXPECT_EQ(mail.parsed["subject"], message.m_sSubject);
    EXPECT_NE(mail.parsed["date_zone"], "");
    EXPECT_TRUE(std::regex_match(mail.parsed["message_id"], std::regex("<[0-9.]+@[a-z.]+>")));
    EXPECT_EQ(mail.parsed["body"], body + "\r\n");  // the line end before the final dot
    EXPECT_EQ(mail.parsed["defects"], "");
}

TEST(SmtpClientTest, APasswordCrossesOnlyInsideTlsThatVerifies) {
    if (const std::string missing = TlsMailServer::Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    const std::string implicitAddress = TlsMailServer::ImplicitTlsAddress();
    TlsMailServer starttls, implicit, selfSigned, noTls, dovecot;
    ASSERT_TRUE(starttls.Start("exim", "127.0.0.1", "starttls"));
    ASSERT_TRUE(implicit.Start("exim", implicitAddress, "implicit", 465));
    ASSERT_TRUE(selfSigned.Start("exim", "127.0.0.1", "selfsigned"));
    ASSERT_TRUE(noTls.Start("exim", "127.0.0.1", "notls"));
    ASSERT_TRUE(dovecot.Start("dovecot", "127.0.0.7", std::to_string(starttls.port())));
    const CSMTPMessage message = JobMessage({"ops@example.test"}, "Z\xC3\xBCrich");
    auto send = [&](const std::string& server, uint16_t port, const char* password) {
        CSMTPConnection connection;
        const bool ok = password != nullptr
                            ? connection.ConnectWithLogin(server.c_str(), port, "velmora", password)
                            : connection.Connect(server.c_str(), port);
        return ok && connection.SendMessage(message, 0) ? std::string("sent")
                                                        : connection.GetFailureReason();
    };
    // AUTH LOGIN to exim inside STARTTLS and implicit TLS; Dovecot offers only AUTH PLAIN.
    EXPECT_EQ(send("localhost", starttls.port(), "s3cret pass"), "sent");
    EXPECT_EQ(send(implicitAddress, 465, "s3cret pass"), "sent");
    EXPECT_EQ(send("127.0.0.7", dovecot.port(), "s3cret pass"), "sent");
    EXPECT_EQ(send("127.0.0.1", selfSigned.port(), "s3cret pass"),
              "certificate verify failed: self-signed certificate");
    EXPECT_EQ(send("127.0.0.1", noTls.port(), "s3cret pass"),
              "the server offers no encryption; the password was not sent");
    // Without a login an unverified certificate still encrypts the mail.
    EXPECT_EQ(send("127.0.0.1", selfSigned.port(), nullptr), "sent");
    EXPECT_EQ(send("127.0.0.2", starttls.port(), "s3cret pass"), "connection refused");

    const std::regex tlsLogin(
        "<= monitor@example.test .* P=esmtpsa X=TLS1.3:[^ ]* CV=no "
        "A=login_server:velmora ");
    EXPECT_TRUE(std::regex_search(starttls.Log(), tlsLogin)) << starttls.Log();
    EXPECT_TRUE(std::regex_search(implicit.Log(), tlsLogin)) << implicit.Log();
    EXPECT_NE(dovecot.Log().find("method=PLAIN, rip=127.0.0.1, lip=127.0.0.7, mpid="),
              std::string::npos);
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        return dovecot.Log().find("Successfully relayed message") != std::string::npos;
    })) << dovecot.Log();
    EXPECT_NE(selfSigned.Log().find(" P=esmtps X=TLS1.3"), std::string::npos) << selfSigned.Log();
    EXPECT_EQ(selfSigned.Log().find("authenticator"), std::string::npos) << selfSigned.Log();
    EXPECT_EQ(noTls.Log().find("authenticator"), std::string::npos) << noTls.Log();
}

}  // namespace
