#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "mail/base64.h"
#include "mail/scripted_smtp_server.h"
#include "mail/smtp_client.h"
#include "platform/last_error.h"
#include "platform/message_target.h"

namespace {

using mailtest::ScriptedSmtpServer;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

std::string Decode64(const std::string& text) {
    CMimeString decoded(CMimeString::kDecode, CMimeString::kBase64Algo, text);
    return decoded.GetString();
}

// Connects with an idle limit of 300 ms and expects the connect to fail with the time-out
// error once that limit has passed, not earlier and not much later.
void ExpectConnectTimesOut(CSMTPConnection& connection, uint16_t port) {
    connection.SetReplyTimeLimits(300, 100);
    const auto start = Clock::now();
    EXPECT_FALSE(connection.Connect("127.0.0.1", port));
    const long elapsed = ElapsedMs(start);
    EXPECT_EQ(GetLastErrorCode(), kWsaErrorTimedOut);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 5000);
}

// Connects with the default limits from a worker that is told to stop 200 ms in; expects it
// back at once and returns the error its failed connect left (0 when it connected).
int ConnectFromAStoppingWorker(uint16_t port) {
    std::atomic<uint8_t> stop{0};
    int error = 0;
    const auto start = Clock::now();
    std::thread worker([&] {
        SetCurrentThreadStopFlag(&stop);
        CSMTPConnection connection;
        if (!connection.Connect("127.0.0.1", port))
            error = GetLastErrorCode();
        SetCurrentThreadStopFlag(nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = 1;
    worker.join();
    EXPECT_LT(ElapsedMs(start), 3000);
    return error;
}

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(SmtpScriptedTest, SplitRepliesAndStray250BeforeTheLoginChallenge) {
    ScriptedSmtpServer server;
    mailtest::TlsMailServer::Folder();  // its CA is trusted before the client starts TLS
    server.Send("220 scripted ESMTP\r\n")
        .ReadLine()  // EHLO
        .Send("250-scripted\r\n250 STARTTLS\r\n")
        .ReadLine()
        .Send("220 go ahead\r\n")
        .StartTls()
        .ReadLine()  // EHLO
        // The EHLO reply arrives in three chunks, split inside lines and inside CR LF,
        // followed by a stray 250 reply that the AUTH reply reader must pass over.
        .Send("250-scripted")
        .Pause(30)
        .Send(" greets you\r\n250-AUTH LOGIN\r")
        .Pause(30)
        .Send("\n250 HELP\r\n250 SIZE 1000\r\n")
        .ReadLine()  // AUTH LOGIN
        .Send("334 VXNlcm5hbWU6\r\n")
        .ReadLine()  // user
        .Send("33")
        .Pause(30)
        .Send("4 UGFzc3dvcmQ6\r\n")
        .ReadLine()  // password
        .Send("235 2.7.0 Authentication successful\r\n")
        .ReadLine()  // QUIT
        .Send("221 bye\r\n");
    ASSERT_TRUE(server.Start());

    // Far beyond the old fixed login line: the user name is 2,000 bytes, some of them high.
    std::string user;
    for (int i = 0; i < 2000; ++i)
        user += static_cast<char>(i % 7 == 0 ? 0xE9 : 'a' + i % 26);
    const std::string password = "p\xC3\xA4ss w\xC3\xB6rd";

    CSMTPConnection connection;
    ASSERT_TRUE(connection.ConnectWithLogin("127.0.0.1", server.port(), user, password))
        << connection.GetLastReply() << " error " << GetLastErrorCode();
    EXPECT_EQ(connection.GetLastCode(), 235);
    EXPECT_TRUE(connection.Disconnect());
    ASSERT_TRUE(server.WaitDone());

    const std::vector<std::string> lines = server.Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].rfind("EHLO ", 0), 0u);
    EXPECT_GT(lines[0].size(), 5u);
    EXPECT_EQ(lines[1], "STARTTLS");
    EXPECT_EQ(lines[2], lines[0]);
    EXPECT_EQ(lines[3], "AUTH LOGIN");
    EXPECT_EQ(Decode64(lines[4]), user);
    EXPECT_EQ(Decode64(lines[5]), password);
    EXPECT_EQ(lines[6], "QUIT");
}

TEST(SmtpScriptedTest, WholeTransactionOnTheWireWithSeveralRepliesInOneRead) {
    ScriptedSmtpServer server;
    server.Send("220 scripted\r\n")
        .ReadLine()  // EHLO
        // A last line of the code alone is a whole reply; it names no extension.
        .Send("250-hello\r\n250\r\n")
        .ReadLine()  // MAIL FROM
        // The replies to MAIL FROM and RCPT TO arrive together, before RCPT TO is sent.
        .Send("250 sender ok\r\n250 recipient ok\r\n")
        .ReadLine()  // RCPT TO
        .ReadLine()  // DATA
        .Send("354 go ahead\r\n")
        .ReadData()
        .Send("250 queued\r\n")
        .ReadLine()  // QUIT
        .Send("221 bye\r\n");
    ASSERT_TRUE(server.Start());

    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));
    CSMTPMessage message;
    message.m_From = CSMTPAddress("", "from@example.test");
    message.AddRecipient(CSMTPAddress("to@example.test", "to@example.test"));
    message.m_sSubject = "s";
    message.SetBody(".leading\n.\nZ\xC3\xBCrich");  // no 8BITMIME offered: quoted-printable
    ASSERT_TRUE(connection.SendMessage(message, 0)) << connection.GetLastReply();
    EXPECT_TRUE(connection.Disconnect());
    ASSERT_TRUE(server.WaitDone());

    const std::vector<std::string> lines = server.Lines();
    ASSERT_EQ(lines.size(), 19u);
    EXPECT_EQ(lines[0].rfind("EHLO ", 0), 0u);
    EXPECT_EQ(lines[1], "MAIL FROM:<from@example.test>");
    EXPECT_EQ(lines[2], "RCPT TO:<to@example.test>");
    EXPECT_EQ(lines[3], "DATA");
    EXPECT_EQ(lines[4], "From: from@example.test");
    EXPECT_EQ(lines[5], "To: <to@example.test>");
    EXPECT_EQ(lines[6], "Subject: s");
    EXPECT_EQ(lines[7].rfind("Date: ", 0), 0u);
    EXPECT_EQ(lines[8], "X-Mailer: CSMTPConnection v1.21");
    EXPECT_EQ(lines[9].rfind("Message-ID: <", 0), 0u);
    EXPECT_EQ(lines[12], "Content-Transfer-Encoding: quoted-printable");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 13, lines.end()),
              (std::vector<std::string>{"", "..leading", "..", "Z=C3=BCrich", ".", "QUIT"}));
}

TEST(SmtpScriptedTest, LoginAnsweredWithAnotherCodeFailsAndQuits) {
    ScriptedSmtpServer server;
    mailtest::TlsMailServer::Folder();
    server.Send("220 scripted\r\n")
        .ReadLine()
        .Send("250-hello\r\n250 STARTTLS\r\n")
        .ReadLine()
        .Send("220 go ahead\r\n")
        .StartTls()
        .ReadLine()
        .Send("250-hello\r\n250 AUTH LOGIN\r\n")
        .ReadLine()  // AUTH LOGIN
        .Send("504 5.5.4 Unrecognized authentication type\r\n")
        .ReadLine()  // QUIT
        .Send("221 bye\r\n");
    ASSERT_TRUE(server.Start());

    CSMTPConnection connection;
    EXPECT_FALSE(connection.ConnectWithLogin("127.0.0.1", server.port(), "u", "p"));
    EXPECT_EQ(GetLastErrorCode(), kWsaErrorProtocol);
    EXPECT_EQ(connection.GetLastReply(), "504 5.5.4 Unrecognized authentication type");
    EXPECT_FALSE(connection.IsConnected());
    ASSERT_TRUE(server.WaitDone());
    const std::vector<std::string> lines = server.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], "AUTH LOGIN");
    EXPECT_EQ(lines[4], "QUIT");
}

TEST(SmtpScriptedTest, SilentServerFailsAfterTheIdleLimit) {
    {
        // A server that let the wait run out gets no QUIT, which would only wait once more.
        ScriptedSmtpServer server;
        server.ReadLine().Send("221 bye\r\n");
        ASSERT_TRUE(server.Start());
        CSMTPConnection connection;
        ExpectConnectTimesOut(connection, server.port());
        EXPECT_EQ(connection.GetLastReply(), "");
        ASSERT_TRUE(server.WaitDone());
        EXPECT_EQ(server.Lines(), std::vector<std::string>{});
    }
    {
        // Silent throughout: the time-out is the reported error, and it costs one idle limit.
        ScriptedSmtpServer server;
        ASSERT_TRUE(server.Start());
        CSMTPConnection::SetDefaultReplyTimeLimits(200, 50);
        CSMTPConnection connection;
        CSMTPConnection::SetDefaultReplyTimeLimits(CSMTPConnection::kDefaultIdleLimitMs,
                                                   CSMTPConnection::kDefaultWaitMs);
        const auto start = Clock::now();
        EXPECT_FALSE(connection.Connect("127.0.0.1", server.port()));
        EXPECT_GE(ElapsedMs(start), 200);
        EXPECT_LT(ElapsedMs(start), 400);
        EXPECT_EQ(GetLastErrorCode(), kWsaErrorTimedOut);
    }
    {
        // Silent in the TLS handshake: no more than the idle limit either, and no QUIT.
        ScriptedSmtpServer server;
        server.Send("220 s\r\n").ReadLine().Send("250-s\r\n250 STARTTLS\r\n").ReadLine();
        ASSERT_TRUE(server.Send("220 go ahead\r\n").Start());
        CSMTPConnection connection;
        ExpectConnectTimesOut(connection, server.port());
        EXPECT_EQ(connection.GetFailureReason(),
                  "TLS handshake failed: the server did not answer in time");
        ASSERT_TRUE(server.WaitDone());
        EXPECT_EQ(server.Lines().size(), 2u);
    }
}

TEST(SmtpScriptedTest, EarlyCloseFailsAtOnce) {
    {
        ScriptedSmtpServer server;
        server.Close();
        ASSERT_TRUE(server.Start());
        CSMTPConnection connection;  // default limits: 18 s would show as a hang
        const auto start = Clock::now();
        EXPECT_FALSE(connection.Connect("127.0.0.1", server.port()));
        EXPECT_LT(ElapsedMs(start), 3000);
        EXPECT_FALSE(connection.IsConnected());
    }
    {
        // Closed in the middle of a multi-line reply to MAIL FROM.
        ScriptedSmtpServer server;
        server.Send("220 scripted\r\n")
            .ReadLine()
            .Send("250 hello\r\n")
            .ReadLine()
            .Send("250-partial\r\n")
            .Close();
        ASSERT_TRUE(server.Start());
        CSMTPConnection connection;
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));
        CSMTPMessage message;
        message.m_From = CSMTPAddress("", "a@example.test");
        message.AddRecipient(CSMTPAddress("", "b@example.test"));
        const auto start = Clock::now();
        EXPECT_FALSE(connection.SendMessage(message, 0));
        EXPECT_EQ(GetLastErrorCode(), kErrorBadCommand);
        EXPECT_EQ(connection.GetLastReply(), "250-partial\r\n");
        EXPECT_FALSE(connection.Disconnect());
        EXPECT_LT(ElapsedMs(start), 3000);
    }
}

TEST(SmtpScriptedTest, OverlongReplyLines) {
    {
        // 999 bytes may still be a line: the read waits, and fails only at the idle limit.
        ScriptedSmtpServer server;
        server.Send(std::string(999, 'x')).ReadLine().Send("221 bye\r\n");
        ASSERT_TRUE(server.Start());
        CSMTPConnection connection;
        ExpectConnectTimesOut(connection, server.port());
        EXPECT_EQ(connection.GetLastReply(), std::string(999, 'x'));
    }
    {
        // One byte more can never become a reply that fits: it fails at once.
        ScriptedSmtpServer server;
        server.Send(std::string(1000, 'y')).ReadLine().Send("221 bye\r\n");
        ASSERT_TRUE(server.Start());
        CSMTPConnection connection;
        const auto start = Clock::now();
        EXPECT_FALSE(connection.Connect("127.0.0.1", server.port()));
        EXPECT_LT(ElapsedMs(start), 3000);
        EXPECT_EQ(GetLastErrorCode(), kWsaErrorMessageSize);
        EXPECT_EQ(connection.GetLastReply(), std::string(1000, 'y'));
        ASSERT_TRUE(server.WaitDone());
        EXPECT_EQ(server.Lines(), std::vector<std::string>{"QUIT"});
    }
}

TEST(SmtpScriptedTest, ServerGoneDuringALargeBodyFailsWithoutSigpipe) {
    ScriptedSmtpServer server;
    server.Send("220 scripted\r\n")
        .ReadLine()
        .Send("250 hello\r\n")
        .ReadLine()
        .Send("250 ok\r\n")
        .ReadLine()
        .Send("250 ok\r\n")
        .ReadLine()
        .Send("354 go\r\n")
        .Close();
    ASSERT_TRUE(server.Start());
    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));
    CSMTPMessage message;
    message.m_From = CSMTPAddress("", "a@example.test");
    message.AddRecipient(CSMTPAddress("", "b@example.test"));
    message.SetBody(std::string(16 * 1024 * 1024, 'z'));
    // Without MSG_NOSIGNAL the write to the closed connection would kill this process.
    EXPECT_FALSE(connection.SendMessage(message, 0));
    const int error = GetLastErrorCode();
    EXPECT_TRUE(error == kWsaErrorConnReset || error == kErrorBadCommand) << error;
}

TEST(SmtpScriptedTest, NoDescriptorLeaksAfterFailures) {
    const size_t before = OpenDescriptors();
    {
        CSMTPConnection connection;
        EXPECT_FALSE(connection.Disconnect());  // never connected: nothing sent, nothing open
        EXPECT_FALSE(connection.Connect("", 25));
        EXPECT_EQ(GetLastErrorCode(), kWsaErrorInvalidArgument);
        // A label longer than 63 bytes is refused by the resolver itself, without any query.
        EXPECT_FALSE(connection.Connect((std::string(70, 'a') + ".test").c_str(), 25));
        EXPECT_EQ(GetLastErrorCode(), kWsaErrorInvalidArgument);
    }
    {
        ScriptedSmtpServer server;
        server.Close();
        ASSERT_TRUE(server.Start());
        CSMTPConnection connection;
        EXPECT_FALSE(connection.ConnectWithLogin("127.0.0.1", server.port(), "u", "p"));
    }
    {
        ScriptedSmtpServer server;
        server.Send("220 scripted\r\n").ReadLine().Send("550 go away\r\n").ReadLine().Close();
        ASSERT_TRUE(server.Start());
        CSMTPConnection connection;
        EXPECT_FALSE(connection.Connect("127.0.0.1", server.port()));
        EXPECT_EQ(connection.GetLastCode(), 550);
        EXPECT_EQ(GetLastErrorCode(), kErrorBadCommand);  // the QUIT read found the end
    }
    {
        ScriptedSmtpServer server;
        server.Send("220 scripted\r\n")
            .ReadLine()
            .Send("250 ok\r\n")
            .ReadLine()
            .Send("451 try later\r\n");
        ASSERT_TRUE(server.Start());
        auto connection = std::make_unique<CSMTPConnection>();
        ASSERT_TRUE(connection->Connect("127.0.0.1", server.port()));
        CSMTPMessage message;
        message.m_From = CSMTPAddress("", "a@example.test");
        EXPECT_FALSE(connection->SendMessage(message, 0));
        EXPECT_EQ(connection->GetLastReply(), "451 try later");
        connection->SetReplyTimeLimits(200, 50);
        connection.reset();  // the destructor sends QUIT and closes
        ASSERT_TRUE(server.WaitDone());
        EXPECT_EQ(server.Lines().back(), "QUIT");
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace

namespace {

TEST(SmtpScriptedTest, AStoppingWorkerGivesUpOnASilentServer) {
    // A mail thread told to stop must not wait out the 18 s idle limit (twice: greeting and
    // QUIT) of a server that never answers, or the orderly exit would abandon it.
    ScriptedSmtpServer server;
    ASSERT_TRUE(server.Start());
    EXPECT_NE(ConnectFromAStoppingWorker(server.port()), 0);
}

// A loopback listener whose accept queue is full and is never emptied: the kernel drops
// every further SYN, so a connect to it hangs like one to a server that never answers
// (until the SYN retries run out, about two minutes later).
class FullBacklogListener {
public:
    FullBacklogListener() {
        // A backlog of 0 holds one connection: the filler takes it.
        m_listen = mailtest::ListenOnLoopback(0, m_port);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_port);
        m_filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        m_ok = m_listen >= 0 && m_filler >= 0 &&
               connect(m_filler, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~FullBacklogListener() {
        if (m_filler >= 0)
            close(m_filler);
        if (m_listen >= 0)
            close(m_listen);
    }
    bool ok() const { return m_ok; }
    uint16_t port() const { return m_port; }

private:
    int m_listen = -1;
    int m_filler = -1;
    uint16_t m_port = 0;
    bool m_ok = false;
};

TEST(SmtpScriptedTest, AConnectThatIsNeverAnsweredEndsAtTheIdleLimit) {
    // Left to the kernel, each mail to such a server would hold up the mail queue for about
    // two minutes; the connect gets the idle limit of a silent server instead.
    FullBacklogListener server;
    ASSERT_TRUE(server.ok());
    {
        // (A connect that went through would fail the greeting, then the QUIT read: 22.)
        CSMTPConnection connection;
        ExpectConnectTimesOut(connection, server.port());
        EXPECT_FALSE(connection.IsConnected());
    }
    // With the default limit, a worker told to stop still gives up at once.
    EXPECT_EQ(ConnectFromAStoppingWorker(server.port()), kWsaErrorInterrupted);
}

}  // namespace
