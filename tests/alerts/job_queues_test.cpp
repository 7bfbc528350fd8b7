#include "alerts/job_queues.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "alerts/event_text.h"
#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/setup_info.h"
#include "engine/host_item.h"
#include "mail/smtp_client.h"
#include "mail/smtp_test_server.h"
#include "platform/box_presenter.h"
#include "platform/program_launcher.h"
#include "platform/tone.h"

namespace {

using namespace std::chrono_literals;

// ---- helpers ----

struct JobDone {
    WPARAM position;
    LPARAM result;
};

// The owner window of the test: collects WM_JOB_DONE on the test thread.
class JobDoneSink {
public:
    JobDoneSink()
        : m_target(std::make_shared<QueueMessageTarget>([this](uint32_t msg, WPARAM w, LPARAM l) {
              if (msg == WM_JOB_DONE)
                  m_done.push_back(JobDone{w, l});
              return LRESULT{0};
          })) {}

    JobOwner owner() const { return JobOwner(m_target); }
    bool WaitFor(size_t count, std::chrono::milliseconds timeout = 20s) {
        return testsupport::WaitUntil(
            [&] {
                m_target->Pump(0);
                return m_done.size() >= count;
            },
            timeout);
    }
    const std::vector<JobDone>& done() const { return m_done; }
    void Drop() { m_target.reset(); }

private:
    std::vector<JobDone> m_done;
    std::shared_ptr<QueueMessageTarget> m_target;
};

// Stops a queue thread and waits for it; an abandoned thread's object is leaked, never freed.
template <typename T>
int StopAndJoin(std::unique_ptr<T>& thread) {
    if (!thread)
        return 0;
    thread->Stop();
    thread->Resume();  // a thread never resumed ends at once
    const int result = thread->WaitForExit();
    if (result == 2)
        thread.release();
    else
        thread.reset();
    return result;
}

// Counts what each pass of DoWork worked off.
template <typename Base>
class PassCounting : public Base {
public:
    using Base::Base;
    int DoWork() override {
        const uint32_t before = this->readIndex();
        const int result = Base::DoWork();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_passes.push_back((this->readIndex() - before) & 0xFFFF);
        return result;
    }
    std::vector<uint32_t> passes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_passes;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<uint32_t> m_passes;
};

class FakeLauncher : public ProgramLauncher {
public:
    LaunchResult Launch(const std::string& program, const std::string& parameters) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(program + "|" + parameters);
        LaunchResult result;
        result.started = program != "missing";
        result.pid = result.started ? 4242 : -1;
        return result;
    }
    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

// A box that stays open until the test closes it or the thread stops.
class FakePresenter : public BoxPresenter {
public:
    struct Shown {
        std::string caption;
        std::string text;
        int closedBefore;  // boxes already closed when this one appeared
        bool hadOwner;
    };

    void ShowBox(const std::shared_ptr<MessageTarget>& owner, const std::string& caption,
                 const std::string& text, const std::atomic<uint8_t>& stop) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_shown.push_back(Shown{caption, text, m_closed, owner != nullptr});
        const int mine = static_cast<int>(m_shown.size());
        while (m_closed < mine && stop.load() == 0)
            m_cond.wait_for(lock, 10ms);
        if (m_closed < mine)
            m_takenDown = true;
    }
    void CloseCurrent() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_closed;
        m_cond.notify_all();
    }
    std::vector<Shown> shown() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_shown;
    }
    bool takenDown() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_takenDown;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Shown> m_shown;
    int m_closed = 0;
    bool m_takenDown = false;
};

// Records tones without sounding or sleeping; can hold the beep thread inside one tone.
class FakeTone : public ToneOutput {
public:
    void Tone(uint32_t frequencyHz, uint32_t durationMs) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_count;
        if (m_tones.size() < 1000)
            m_tones.emplace_back(frequencyHz, durationMs);
        if (m_count == m_holdAt) {
            m_holding = true;
            m_cond.wait_for(lock, 20s, [&] { return m_holdAt != m_count; });
            m_holding = false;
        }
    }
    void HoldAt(size_t toneNumber) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdAt = toneNumber;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdAt = 0;
        m_cond.notify_all();
    }
    bool holding() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_holding;
    }
    size_t count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    std::vector<std::pair<uint32_t, uint32_t>> tones() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tones;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<std::pair<uint32_t, uint32_t>> m_tones;
    size_t m_count = 0;
    size_t m_holdAt = 0;
    bool m_holding = false;
};

// A loopback port where nothing listens.
uint16_t ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// A loopback server that takes connections into its backlog and never says a word.
class SilentServer {
public:
    SilentServer() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_fd, 16);
        socklen_t length = sizeof address;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~SilentServer() {
        for (int fd : m_accepted)
            close(fd);
        close(m_fd);
    }
    // True once a client has connected (the connection is kept open, and silent).
    bool Accepted() {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1) {
            int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                m_accepted.push_back(fd);
        }
        return !m_accepted.empty();
    }
    uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    std::vector<int> m_accepted;
};

// A scripted SMTP server on loopback for one dialogue: accepts everything and records the
// envelope. (A header line as long as 256 recipients make is beyond what a strict server
// takes, so the envelope is checked here rather than with the real server.) A slow server
// answers the final dot only `dotReplyDelay` after it came.
class ScriptedServer {
public:
    explicit ScriptedServer(std::chrono::milliseconds dotReplyDelay = 0ms)
        : m_listen(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), m_dotReplyDelay(dotReplyDelay) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listen, 1);
        socklen_t length = sizeof address;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        close(m_listen);
    }
    uint16_t port() const { return m_port; }
    std::vector<std::string> recipients() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_rcpt;
    }
    bool dotSeen() const { return m_dotSeen.load(); }

private:
    void Serve() {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            return;
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto say = [fd](const std::string& text) {
            (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        };
        say("220 scripted\r\n");
        std::string buffer;
        bool inData = false;
        char chunk[4096];
        for (;;) {
            pollfd c{fd, POLLIN, 0};
            if (poll(&c, 1, 20000) != 1)
                break;
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            buffer.append(chunk, static_cast<size_t>(n));
            size_t end;
            if (inData) {
                if ((end = buffer.find("\r\n.\r\n")) == std::string::npos)
                    continue;
                buffer.erase(0, end + 5);
                inData = false;
                m_dotSeen = true;
                std::this_thread::sleep_for(m_dotReplyDelay);
                say("250 accepted\r\n");
            }
            while (!inData && (end = buffer.find("\r\n")) != std::string::npos) {
                const std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                if (line.rfind("RCPT TO:<", 0) == 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_rcpt.push_back(line.substr(9, line.size() - 10));
                }
                if (line == "DATA") {
                    inData = true;
                    say("354 go on\r\n");
                } else if (line == "QUIT") {
                    say("221 bye\r\n");
                    close(fd);
                    return;
                } else {
                    say("250 ok\r\n");
                }
            }
        }
        close(fd);
    }

    int m_listen;
    std::chrono::milliseconds m_dotReplyDelay;
    std::atomic<bool> m_dotSeen{false};
    uint16_t m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_rcpt;
    std::thread m_thread;
};

int AddSimpleMail(cmailthread& thread, const JobOwner& owner, uint16_t port,
                  const std::string& subject, uint8_t logon = 0, const std::string& user = "",
                  const std::string& password = "",
                  std::vector<std::string> recipients = {"ops@example.test"}) {
    return thread.AddMail(owner, "127.0.0.1", port, "Monitor", "monitor@example.test", logon, user,
                          password, static_cast<uint32_t>(recipients.size()), recipients.data(),
                          subject, "body of " + subject, 0);
}

// ---- ring limits ----

TEST(JobQueues, RingsAcceptOneJobLessThanTheirSlotsAndRefuseTheNext) {
    auto mail = std::make_unique<cmailthread>();  // never resumed: the consumer is held
    for (uint32_t i = 0; i < kMailRingSlots - 1; ++i)
        ASSERT_EQ(AddSimpleMail(*mail, nullptr, 25, "m" + std::to_string(i)), 0) << i;
    EXPECT_EQ(mail->writeIndex(), kMailRingSlots - 1);
    EXPECT_EQ(AddSimpleMail(*mail, nullptr, 25, "refused"), -1);
    EXPECT_EQ(mail->writeIndex(), kMailRingSlots - 1);
    EXPECT_EQ(mail->readIndex(), 0u);
    // The mails never sent are dropped with their thread, and the log says how many.
    testsupport::TempDir dir;
    ASSERT_TRUE(g_logFile.Open(dir.File("log")));
    EXPECT_EQ(StopAndJoin(mail), 1);
    g_logFile.Close();
    std::ifstream log(dir.File("log"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}),
              "MAIL: DROPPED 2047 queued mails at exit\r\n");

    auto box = std::make_unique<cboxthread>();
    for (uint32_t i = 0; i < kBoxRingSlots - 1; ++i)
        ASSERT_EQ(box->AddBox(nullptr, "c", "t"), 0) << i;
    EXPECT_EQ(box->AddBox(nullptr, "c", "t"), -1);
    EXPECT_EQ(StopAndJoin(box), 1);

    FakeTone tone;
    auto beep = std::make_unique<cbeepthread>(&tone);
    for (uint32_t i = 0; i < kBeepRingSlots - 1; ++i)
        ASSERT_EQ(beep->AddRequest(0, 1), 0) << i;
    EXPECT_EQ(beep->AddRequest(0, 1), -1);
    EXPECT_EQ(StopAndJoin(beep), 1);
    EXPECT_EQ(tone.count(), 0u);
}

TEST(JobQueues, ProgramRingHolds255AndNothingOfARefusedJobIsRun) {
    FakeLauncher launcher;
    auto exec = std::make_unique<cexecthread>(&launcher);
    for (uint32_t i = 0; i < kExecRingSlots - 1; ++i)
        ASSERT_EQ(exec->AddCommand(nullptr, "prog", std::to_string(i)), 0) << i;
    EXPECT_EQ(exec->AddCommand(nullptr, "prog", "refused"), -1);
    exec->Resume();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return launcher.calls().size() == 255; }));
    const std::vector<std::string> calls = launcher.calls();
    for (uint32_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i], "prog|" + std::to_string(i));
    // The ring wraps: further jobs go into the slots just worked.
    ASSERT_EQ(exec->AddCommand(nullptr, "prog", "after"), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return launcher.calls().size() == 256; }));
    EXPECT_EQ(launcher.calls().back(), "prog|after");
    EXPECT_EQ(exec->readIndex(), 0u);
    EXPECT_EQ(StopAndJoin(exec), 1);
}

// ---- mail against a real server ----

class MailJobs : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(StopAndJoin(m_mail), 1); }

    std::unique_ptr<PassCounting<cmailthread>> m_mail =
        std::make_unique<PassCounting<cmailthread>>();
    JobDoneSink m_sink;
};

TEST_F(MailJobs, ThreeQueuedMailsAreDeliveredInOnePass) {
    mailtest::SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();
    const std::string to[] = {"first@example.test", "second@example.test"};
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(m_mail->AddMail(m_sink.owner(), "127.0.0.1", server.port(), "Host Monitor",
                                  "monitor@example.test", 0, "", "", 2, to,
                                  "subject " + std::to_string(i), "line one\r\n.dot line\r\n",
                                  i == 2 ? 1 : 0),
                  0);
    }
    m_mail->Resume();
    ASSERT_TRUE(m_sink.WaitFor(3));
    ASSERT_EQ(m_sink.done().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_sink.done()[i].position, i + 1);  // the ring position after the job
        EXPECT_EQ(m_sink.done()[i].result, kMailResultSent);
    }
    // One wake-up worked off all three; the two wake-ups left find the ring empty.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_mail->passes().size() == 3; }));
    EXPECT_EQ(m_mail->passes(), (std::vector<uint32_t>{3, 0, 0}));

    ASSERT_TRUE(server.WaitForMessages(3));
    const std::vector<mailtest::ReceivedMail> mails = server.Received();
    ASSERT_EQ(mails.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(mails[i].mailFrom, "monitor@example.test");
        EXPECT_EQ(mails[i].rcptTos, (std::vector<std::string>{to[0], to[1]}));
        const std::vector<std::string> header = mails[i].HeaderLines();
        ASSERT_GE(header.size(), 5u);
        EXPECT_EQ(header[0], "From: Host Monitor <monitor@example.test>");
        EXPECT_EQ(header[1], "To: <first@example.test>,<second@example.test>");
        EXPECT_EQ(header[2], "Subject: subject " + std::to_string(i + 1));
        const bool priority = header[4] == "X-Priority: 1";
        EXPECT_EQ(priority, i == 1) << "only the second mail is high priority";
        EXPECT_EQ(mails[i].Body(), "line one\r\n.dot line\r\n\r\n");
    }
}

TEST_F(MailJobs, ResultsTellWhatWentWrong) {
    mailtest::SmtpServerOptions options;
    options.authUser = "alice";
    options.authPassword = "secret";
    options.refuseRcpt = {"refused@example.test"};
    mailtest::SmtpTestServer server(options);
    ASSERT_TRUE(server.Start()) << server.error();
    const uint16_t closed = ClosedPort();

    ASSERT_EQ(AddSimpleMail(*m_mail, m_sink.owner(), closed, "plain, nobody listens"), 0);
    ASSERT_EQ(AddSimpleMail(*m_mail, m_sink.owner(), closed, "logon, nobody listens", 1, "alice",
                            "secret"),
              0);
    ASSERT_EQ(AddSimpleMail(*m_mail, m_sink.owner(), server.port(), "wrong password", 1, "alice",
                            "guess"),
              0);
    ASSERT_EQ(AddSimpleMail(*m_mail, m_sink.owner(), server.port(), "refused recipient", 1, "alice",
                            "secret", {"refused@example.test"}),
              0);
    ASSERT_EQ(AddSimpleMail(*m_mail, m_sink.owner(), server.port(), "good", 1, "alice", "secret"),
              0);
    m_mail->Resume();
    ASSERT_TRUE(m_sink.WaitFor(5, 60s));
    const std::vector<JobDone>& done = m_sink.done();
    ASSERT_EQ(done.size(), 5u);
    EXPECT_EQ(done[0].result, kMailResultConnectFailed);
    EXPECT_EQ(done[1].result, kMailResultLoginConnectFailed);
    EXPECT_EQ(done[2].result, kMailResultLoginConnectFailed);
    EXPECT_EQ(done[3].result, kMailResultSendFailed);
    EXPECT_EQ(done[4].result, kMailResultSent);
    for (size_t i = 0; i < done.size(); ++i)
        EXPECT_EQ(done[i].position, i + 1);

    ASSERT_TRUE(server.WaitForMessages(1));
    const std::vector<mailtest::ReceivedMail> mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].authUser, std::optional<std::string>("alice"));
    EXPECT_EQ(mails[0].HeaderLines().at(2), "Subject: good");
}

TEST_F(MailJobs, ARecipientListOf300IsCutTo256) {
    ScriptedServer server;
    std::vector<std::string> to;
    for (int i = 0; i < 300; ++i)
        to.push_back("r" + std::to_string(i) + "@example.test");
    ASSERT_EQ(m_mail->AddMail(m_sink.owner(), "127.0.0.1", server.port(), "", "m@example.test", 0,
                              "", "", 300, to.data(), "many", "body", 0),
              0);
    m_mail->Resume();
    ASSERT_TRUE(m_sink.WaitFor(1));
    EXPECT_EQ(m_sink.done()[0].result, kMailResultSent);
    EXPECT_EQ(server.recipients(), std::vector<std::string>(to.begin(), to.begin() + 256));
}

TEST_F(MailJobs, AMailWithoutRecipientsIsQueuedAndFailsAtTheServer) {
    mailtest::SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();
    ASSERT_EQ(m_mail->AddMail(m_sink.owner(), "127.0.0.1", server.port(), "", "m@example.test", 0,
                              "", "", 0, nullptr, "nobody", "body", 0),
              0);
    m_mail->Resume();
    ASSERT_TRUE(m_sink.WaitFor(1));
    EXPECT_EQ(m_sink.done()[0].result, kMailResultSendFailed);
}

TEST_F(MailJobs, AMailTheServerTakesWhileTheThreadStopsIsSent) {
    ScriptedServer server(500ms);
    ASSERT_EQ(AddSimpleMail(*m_mail, m_sink.owner(), server.port(), "slow"), 0);
    m_mail->Resume();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.dotSeen(); }));
    m_mail->Stop();
    ASSERT_TRUE(m_sink.WaitFor(1));
    EXPECT_EQ(m_sink.done()[0].result, kMailResultSent);
}

// ---- program runs ----

class ProgramJobs : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELMORA_RECORD_DIR", m_dir.path().c_str(), 1);
        if (const char* tz = std::getenv("TZ"))
            m_oldTz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
        SetTextClock([]() -> std::time_t { return 1796691909; });  // 2026-12-08 01:05:09 UTC
    }
    void TearDown() override {
        EXPECT_EQ(StopAndJoin(m_exec), 1);
        SetTextClock(nullptr);
        if (m_oldTz)
            setenv("TZ", m_oldTz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        unsetenv("VELMORA_RECORD_DIR");
    }

    testsupport::TempDir m_dir;
    std::optional<std::string> m_oldTz;
    std::unique_ptr<cexecthread> m_exec = std::make_unique<cexecthread>();
    JobDoneSink m_sink;
};

TEST_F(ProgramJobs, TheDefaultParameterLineArrivesAsFourArgumentsInARealProgram) {
    CHostItem host;
    host.name = "web";
    host.StoreAddr4(inet_addr("127.0.0.1"));
    host.state = 2;
    std::snprintf(host.lost_rate_text, sizeof host.lost_rate_text, "12.50%%");
    std::string parameters = kDefaultExecPara;
    host.ExpandEventText(parameters);

    int leaky = open("/dev/null", O_RDONLY);  // no close-on-exec: must still stay behind
    ASSERT_GE(leaky, 3);
    ASSERT_EQ(m_exec->AddCommand(m_sink.owner(), VELMORA_RECORD_CHILD, parameters), 0);
    m_exec->Resume();
    ASSERT_TRUE(m_sink.WaitFor(1));
    close(leaky);
    EXPECT_EQ(m_sink.done()[0].result, 1);
    EXPECT_EQ(m_sink.done()[0].position, 1u);

    // The child names its record after its pid.
    std::string record;
    pid_t pid = -1;
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        DIR* dir = opendir(m_dir.path().c_str());
        if (dir == nullptr)
            return false;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".rec") {
                pid = std::atoi(name.c_str());
                std::ifstream in(m_dir.File(name), std::ios::binary);
                record.assign(std::istreambuf_iterator<char>(in), {});
            }
        }
        closedir(dir);
        return !record.empty();
    }));
    std::string expected = "argc 5\n";
    for (const std::string arg : {"HOST=127.0.0.1", "DATATIME=Tuesday, December 08, 2026  01:05:09",
                                  "EVENT=peer is down", "LOSTRATE=12.50%"})
        expected += "arg " + std::to_string(arg.size()) + " " + arg + "\n";
    EXPECT_NE(record.find(expected), std::string::npos) << record;
    for (int fd = 3; fd < 64; ++fd)
        EXPECT_EQ(record.find("fd " + std::to_string(fd) + "\n"), std::string::npos) << record;
    // Reaped: no zombie is left behind.
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return kill(pid, 0) == -1 && errno == ESRCH; }));
}

TEST_F(ProgramJobs, AMissingProgramGivesZero) {
    ASSERT_EQ(m_exec->AddCommand(m_sink.owner(), m_dir.File("missing"), "a b"), 0);
    ASSERT_EQ(m_exec->AddCommand(m_sink.owner(), VELMORA_RECORD_CHILD, ""), 0);
    m_exec->Resume();
    ASSERT_TRUE(m_sink.WaitFor(2));
    EXPECT_EQ(m_sink.done()[0].result, 0);
    EXPECT_EQ(m_sink.done()[1].result, 1);
}

TEST(JobQueues, AJobWhoseOwnerIsGoneIsDoneWithoutAMessage) {
    FakeLauncher launcher;
    auto exec = std::make_unique<cexecthread>(&launcher);
    JobDoneSink gone;
    JobDoneSink kept;
    ASSERT_EQ(exec->AddCommand(gone.owner(), "prog", "1"), 0);
    ASSERT_EQ(exec->AddCommand(kept.owner(), "prog", "2"), 0);
    ASSERT_EQ(exec->AddCommand(nullptr, "prog", "3"), 0);
    gone.Drop();  // the window closed before its job ran
    exec->Resume();
    ASSERT_TRUE(kept.WaitFor(1));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return launcher.calls().size() == 3; }));
    EXPECT_EQ(kept.done()[0].position, 2u);
    EXPECT_TRUE(gone.done().empty());
    EXPECT_EQ(StopAndJoin(exec), 1);
}

// ---- popup boxes ----

TEST(BoxJobs, TheSecondBoxIsShownOnlyAfterTheFirstIsClosed) {
    FakePresenter presenter;
    auto box = std::make_unique<cboxthread>(&presenter);
    JobDoneSink sink;
    ASSERT_EQ(box->AddBox(sink.owner(), "10.0.0.1", "10.0.0.1 web\r\n\r\npeer is down"), 0);
    ASSERT_EQ(box->AddBox(nullptr, "10.0.0.2", "10.0.0.2\r\n\r\npeer is up"), 0);
    box->Resume();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return presenter.shown().size() == 1; }));
    presenter.CloseCurrent();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return presenter.shown().size() == 2; }));
    presenter.CloseCurrent();
    ASSERT_TRUE(sink.WaitFor(1));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return box->readIndex() == 2; }));

    const std::vector<FakePresenter::Shown> shown = presenter.shown();
    EXPECT_EQ(shown[0].caption, "10.0.0.1");
    EXPECT_EQ(shown[0].text, "10.0.0.1 web\r\n\r\npeer is down");
    EXPECT_TRUE(shown[0].hadOwner);
    EXPECT_EQ(shown[0].closedBefore, 0);
    EXPECT_EQ(shown[1].caption, "10.0.0.2");
    EXPECT_FALSE(shown[1].hadOwner);
    EXPECT_EQ(shown[1].closedBefore, 1);  // appeared only once the first was closed
    EXPECT_EQ(sink.done().size(), 1u);    // the second had no owner
    EXPECT_EQ(sink.done()[0].position, 1u);
    EXPECT_EQ(sink.done()[0].result, 0);
    EXPECT_EQ(StopAndJoin(box), 1);
}

TEST(BoxJobs, StopTakesDownAShowingBoxAndLeavesTheRestQueued) {
    FakePresenter presenter;
    auto box = std::make_unique<cboxthread>(&presenter);
    ASSERT_EQ(box->AddBox(nullptr, "a", "first"), 0);
    ASSERT_EQ(box->AddBox(nullptr, "b", "second"), 0);
    box->Resume();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return presenter.shown().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    box->Stop();
    EXPECT_EQ(box->WaitForExit(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_TRUE(presenter.takenDown());
    EXPECT_EQ(presenter.shown().size(), 1u);
    EXPECT_EQ(box->readIndex(), 1u);
    EXPECT_EQ(box->writeIndex(), 2u);
}

// ---- beeps ----

class BeepJobs : public ::testing::Test {
protected:
    void SetUp() override { m_beep->Resume(); }
    void TearDown() override {
        m_tone.Release();
        if (m_beep) {
            EXPECT_EQ(StopAndJoin(m_beep), 1);
        }
    }
    // Waits until every request and wake-up so far has been worked, then ends the thread so
    // that the tone count is final.
    size_t FinalToneCount() {
        EXPECT_TRUE(testsupport::WaitUntil([&] {
            return m_beep->readIndex() == m_beep->writeIndex() &&
                   m_beep->messageQueue().pendingTriggers() == 0;
        }));
        EXPECT_EQ(StopAndJoin(m_beep), 1);
        return m_tone.count();
    }

    FakeTone m_tone;
    std::unique_ptr<cbeepthread> m_beep = std::make_unique<cbeepthread>(&m_tone);
};

TEST_F(BeepJobs, ThreePairsAreSixAlternatingTones) {
    ASSERT_EQ(m_beep->AddRequest(0, 3), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_tone.count() >= 6; }));
    EXPECT_EQ(FinalToneCount(), 6u);
    const std::vector<std::pair<uint32_t, uint32_t>> tones = m_tone.tones();
    for (size_t i = 0; i < tones.size(); ++i) {
        EXPECT_EQ(tones[i].first, i % 2 == 0 ? 3000u : 2000u) << i;
        EXPECT_EQ(tones[i].second, 500u) << i;
    }
}

TEST_F(BeepJobs, ARequestDuringTheSoundExtendsIt) {
    m_tone.HoldAt(1);
    ASSERT_EQ(m_beep->AddRequest(0, 3), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_tone.holding(); }));
    ASSERT_EQ(m_beep->AddRequest(0, 2), 0);
    m_tone.Release();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_tone.count() >= 10; }));
    EXPECT_EQ(FinalToneCount(), 10u);
}

TEST_F(BeepJobs, ZeroSoundsUntilCancelAndCancelDropsWaitingRequests) {
    m_tone.HoldAt(20);
    ASSERT_EQ(m_beep->AddRequest(0, 0), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_tone.holding(); }));
    ASSERT_EQ(m_beep->AddRequest(0, 5), 0);
    ASSERT_EQ(m_beep->AddRequest(0, 7), 0);
    m_beep->Cancel();
    m_tone.Release();
    // The pair under way ends; the request taken with it is ignored (the sound was
    // continuous) and the one still waiting is dropped.
    EXPECT_EQ(FinalToneCount(), 20u);
}

TEST_F(BeepJobs, CancelWhileIdleHasNoLastingEffect) {
    m_beep->Cancel();
    ASSERT_EQ(m_beep->AddRequest(0, 1), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_tone.count() >= 2; }));
    EXPECT_EQ(FinalToneCount(), 2u);
}

TEST_F(BeepJobs, ANegativeRequestAsksForNothing) {
    ASSERT_EQ(m_beep->AddRequest(0, -3), 0);
    ASSERT_EQ(m_beep->AddRequest(0, 1), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_tone.count() >= 2; }));
    EXPECT_EQ(FinalToneCount(), 2u);
}

TEST_F(BeepJobs, StopEndsAContinuousSoundAfterThePairUnderWay) {
    m_tone.HoldAt(3);
    ASSERT_EQ(m_beep->AddRequest(0, 0), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_tone.holding(); }));
    m_beep->Stop();
    m_tone.Release();
    EXPECT_EQ(StopAndJoin(m_beep), 1);
    EXPECT_EQ(m_tone.count(), 4u);
}

// ---- stopping every queue while it works ----

TEST(JobQueues, StoppingEveryQueueWhileJobsRunNeverHangs) {
    // The silent server never answers; with the default reply limits (18 s) each dialogue
    // would outlast the exit wait, so the stop itself must cut them short.
    SilentServer silent;
    FakePresenter presenter;
    auto mail = std::make_unique<PassCounting<cmailthread>>();
    auto exec = std::make_unique<cexecthread>();
    auto box = std::make_unique<cboxthread>(&presenter);
    auto beep = std::make_unique<cbeepthread>();  // the real tone: silent here, same timing

    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(AddSimpleMail(*mail, nullptr, silent.port(), "to nobody"), 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(exec->AddCommand(nullptr, "true", ""), 0);
    ASSERT_EQ(box->AddBox(nullptr, "c", "t"), 0);
    ASSERT_EQ(beep->AddRequest(0, 0), 0);
    mail->Resume();
    exec->Resume();
    box->Resume();
    beep->Resume();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return presenter.shown().size() == 1; }));

    const auto start = std::chrono::steady_clock::now();
    beep->Stop();
    box->Stop();
    exec->Stop();
    mail->Stop();
    EXPECT_EQ(StopAndJoin(mail), 1);
    EXPECT_EQ(StopAndJoin(exec), 1);
    EXPECT_EQ(StopAndJoin(box), 1);
    EXPECT_EQ(StopAndJoin(beep), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6000ms);
}

TEST(JobQueues, AStoppedMailThreadFinishesItsRingQuickly) {
    // Mails queued before the stop are still worked off; a silent server keeps the first one
    // until the time for sending at exit is over, instead of the reply limit, and the rest are
    // dropped.
    SilentServer silent;
    auto mail = std::make_unique<cmailthread>();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(AddSimpleMail(*mail, nullptr, silent.port(), "to nobody"), 0);
    mail->Resume();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return silent.Accepted(); }));
    const auto start = std::chrono::steady_clock::now();
    mail->Stop();
    EXPECT_EQ(mail->WaitForExit(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3000ms);
    EXPECT_EQ(mail->readIndex(), 3u);
    EXPECT_EQ(mail->writeIndex(), 3u);
}

}  // namespace
