// The application from end to end, as root: it monitors loopback hosts and one host in a
// network namespace that the test builds; the host is cut off and brought back, and the
// host list, the event list, the log file and a real SMTP server must each tell the story
// once: down after the configured failures, up again after the configured replies.
//
// The program's raw sockets belong to the network namespace they were opened in, so the
// application runs in a child process started inside a "monitor" namespace (loopback up,
// the SMTP server on its loopback), joined by a veth pair to a "target" namespace that
// holds the host. Only addresses of the benchmarking range (198.18.0.0/15), and only inside
// the two namespaces.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QCoreApplication>

#include <gtest/gtest.h>

#include "app/corvantis_app.h"
#include "common/test_support.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "mail/smtp_test_server.h"
#include "ui/event_view.h"
#include "ui/main_frame.h"

namespace {

using namespace std::chrono_literals;

constexpr char kChildVariable[] = "VELMORA_APP_E2E_CHILD";
constexpr char kTargetNsVariable[] = "VELMORA_APP_E2E_TARGET_NS";
constexpr char kTargetLinkVariable[] = "VELMORA_APP_E2E_TARGET_LINK";

constexpr char kMonitorAddress[] = "198.18.0.1";
constexpr char kTargetAddress[] = "198.18.0.2";
constexpr int kLoopbackHosts = 3;
// Down at the third failure in a row, up at the third reply in a row.
constexpr int32_t kContinueLost = 2;
constexpr uint32_t kIntervalMs = 200;
constexpr uint32_t kTimeoutMs = 400;

constexpr char kSender[] = "monitor@example.test";
constexpr char kRecipient[] = "admin@example.test";

// Two namespaces joined by a veth pair; removed (with the pair) at destruction.
class TestNetwork {
public:
    TestNetwork() {
        const std::string id = std::to_string(getpid());
        monitor = "vem" + id;
        target = "vet" + id;
        const std::string m = "ip -n " + monitor + " ";
        const std::string t = "ip -n " + target + " ";
        const std::vector<std::string> steps = {
            "ip netns add " + monitor,
            "ip netns add " + target,
            "ip link add " + monitor + " type veth peer name " + target,
            "ip link set " + monitor + " netns " + monitor,
            "ip link set " + target + " netns " + target,
            m + "link set lo up",
            m + "link set " + monitor + " up",
            m + "addr add " + kMonitorAddress + "/30 dev " + monitor,
            t + "link set lo up",
            t + "link set " + target + " up",
            t + "addr add " + kTargetAddress + "/30 dev " + target,
        };
        for (const std::string& step : steps) {
            if (testsupport::RunShell(step + " > /dev/null 2>&1") != 0) {
                failed = step;
                return;
            }
        }
    }
    ~TestNetwork() {
        testsupport::RunShell("ip netns del " + monitor + " > /dev/null 2>&1");
        testsupport::RunShell("ip netns del " + target + " > /dev/null 2>&1");
    }
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    std::string monitor;  // namespace and its end of the pair share the name
    std::string target;
    std::string failed;  // the step that failed, if one did
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ApplicationEndToEnd, AHostCutOffGoesDownAndComesBackUpWithOneEventAndOneMailEach) {
    VELMORA_REQUIRE_ROOT();
    VELMORA_REQUIRE_RAW_SOCKETS();
    if (testsupport::RunShell("ip netns list > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "`ip netns` is not available (iproute2 with network namespaces)";
    TestNetwork network;
    ASSERT_EQ(network.failed, "");
    testsupport::TempDir dir;
    const std::string log = dir.File("child.log");
    // A child that hangs is ended well before the test's own time-out, so the namespaces are
    // still removed.
    const std::string command = std::string(kChildVariable) + "=1 " + kTargetNsVariable + "=" +
                                network.target + " " + kTargetLinkVariable + "=" + network.target +
                                " timeout -k 5 150 ip netns exec " + network.monitor + " /proc/" +
                                std::to_string(getpid()) +
                                "/exe --gtest_filter=ApplicationEndToEndChild.* > " + log + " 2>&1";
    const int status = testsupport::RunShell(command);
    const std::string output = ReadFile(log);
    EXPECT_EQ(status, 0) << output;
    // The child must really have run, not skipped.
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
}

// Runs only inside the monitor namespace, started by the test above.
class ApplicationEndToEndChild : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        CMainFrame::Timing timing;
        timing.exitPauseMs = 0;
        timing.destroyPauseMs = 0;
        CMainFrame::SetTiming(timing);
        g_bClosing = 0;
        g_bSetupModified = 0;
        g_setupLength = 0;
    }
    void TearDown() override {
        if (CMainFrame* frame = theApp.m_pMainWnd) {
            if (!frame->exited())
                frame->OnEndSession(true);
            delete frame;
            theApp.m_pMainWnd = nullptr;
        }
        DestroyHostList();
        CMainFrame::SetTiming(CMainFrame::Timing());
        SandboxTest::TearDown();
    }

    // The setup the program finds at start: the loopback hosts, then the target host;
    // mail to one recipient of group 0 on the test server; event and mail lines logged;
    // no sound, box or program; the service started at once.
    void StoreSetup(uint16_t smtpPort) {
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo();
        CSetupInfo& setup = *g_pSetupInfo;
        setup.start_set = kStartSetAutoStart;
        setup.needlostcount = 1;
        setup.continuelost = kContinueLost;
        setup.needlostrate = 0;
        setup.beep = 0;
        setup.popupbox = 0;
        setup.runexe = 0;
        setup.sendmail = 1;
        setup.bneedloopmail = 0;
        setup.smtpserver = "127.0.0.1";
        setup.smtpport = smtpPort;
        setup.emailfrom = kSender;
        setup.newemailcount = 1;
        setup.newemailto[0] = kRecipient;
        setup.emailgrouplist[0] = 0;
        setup.logfilename = LogPath();
        setup.logchange = 1;
        setup.lognotify = 1;
        for (int i = 0; i <= kLoopbackHosts; ++i) {
            CHostItem* host = AddHost(0);
            ASSERT_NE(host, nullptr);
            const bool isTarget = i == kLoopbackHosts;
            host->name = isTarget ? "target" : "loopback " + std::to_string(i + 1);
            host->addr4.sin_family = AF_INET;
            host->StoreAddr4(isTarget ? inet_addr(kTargetAddress)
                                      : htonl(0x7F000001u + static_cast<uint32_t>(i)));
            host->interval.store(kIntervalMs);
            host->timeout.store(kTimeoutMs);
            host->mail_group = 0;
            PublishHost(host);
        }
        const int length = SerializeSetup();
        ASSERT_GT(length, 0);
        ASSERT_EQ(SaveRegistryBlob(g_setupBuffer.data(), length), 1);
        DestroyHostList();
        delete g_pSetupInfo;
        g_pSetupInfo = nullptr;
    }

    std::string LogPath() const { return m_dir.File("monitor.log"); }

    // EVENT lines of the log that end in `event`.
    int LoggedEvents(const std::string& event) const {
        std::istringstream lines(ReadFile(LogPath()));
        std::string line;
        int count = 0;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.rfind("EVENT: ", 0) == 0 && line.size() >= event.size() &&
                line.compare(line.size() - event.size(), event.size(), event) == 0)
                ++count;
        }
        return count;
    }

    static bool PumpUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout = 15s) {
        return testsupport::WaitUntil(
            [&] {
                QCoreApplication::processEvents();
                return condition();
            },
            timeout);
    }

    static CHostItem* Host(int index) {
        return g_pHostList != nullptr ? g_pHostList->Host(static_cast<uint32_t>(index)) : nullptr;
    }
    // Waits for `rounds` more requests to the first loopback host, which answers whatever
    // happens to the target: the clock of the monitor's rounds.
    static void WaitForRounds(uint32_t rounds) {
        CHostItem* clock = Host(0);
        ASSERT_NE(clock, nullptr);
        const uint32_t until = clock->sent_count.load() + rounds;
        ASSERT_TRUE(PumpUntil([&] { return clock->sent_count.load() >= until; }));
    }
    static bool AllUp() {
        for (int i = 0; i <= kLoopbackHosts; ++i) {
            const CHostItem* host = Host(i);
            if (host == nullptr || host->state != 0)
                return false;
        }
        return true;
    }

    // The event list through its model, as a screen reader would see it.
    static int EventRows() { return g_pEventView->model()->rowCount(); }
    static QString EventCell(int row, int column) {
        return g_pEventView->model()->index(row, column).data().toString();
    }

    // Each host's state and counters, for failure messages.
    static std::string Describe() {
        std::string text;
        for (int i = 0; i <= kLoopbackHosts; ++i) {
            const CHostItem* host = Host(i);
            if (host == nullptr)
                continue;
            text += "\n  " + host->name + ": state " + std::to_string(host->state) + ", sent " +
                    std::to_string(host->sent_count.load()) + ", replies " +
                    std::to_string(host->recv_count.load()) + ", result " +
                    std::to_string(host->result.load()) + ", up " + std::to_string(host->up.load());
        }
        return text;
    }

    static std::string Subject(const mailtest::ReceivedMail& mail) {
        for (const std::string& line : mail.HeaderLines()) {
            if (line.rfind("Subject: ", 0) == 0)
                return line.substr(9);
        }
        return "";
    }

    // Cuts the target off, or brings it back, from the target's side of the pair.
    static void SetTargetLink(const char* state) {
        const std::string command = std::string("ip -n ") + std::getenv(kTargetNsVariable) +
                                    " link set " + std::getenv(kTargetLinkVariable) + " " + state +
                                    " 2>&1";
        ASSERT_EQ(testsupport::RunShell(command), 0) << command;
    }
};

TEST_F(ApplicationEndToEndChild, Run) {
    if (std::getenv(kChildVariable) == nullptr)
        GTEST_SKIP() << "runs inside the namespaces built by ApplicationEndToEnd";
    mailtest::SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();
    StoreSetup(server.port());
    ASSERT_FALSE(HasFatalFailure());

    ASSERT_TRUE(theApp.InitInstance());
    ASSERT_NE(g_pHostList, nullptr);
    ASSERT_NE(g_pEventView, nullptr);
    ASSERT_EQ(g_pHostList->count.load(), kLoopbackHosts + 1);
    EXPECT_EQ(g_pHostList->stopped.load(), 0) << "the stored setup starts the service";

    // Every host comes up; a host's first state 0 is not announced.
    ASSERT_TRUE(PumpUntil(AllUp)) << "not every host came up:" << Describe();
    EXPECT_EQ(EventRows(), 0);
    CHostItem* target = Host(kLoopbackHosts);

    SetTargetLink("down");
    ASSERT_TRUE(PumpUntil([&] { return target->state == 2; }))
        << "the cut-off host did not go down:" << Describe();
    // The failures go on; the host stays down and is announced once.
    ASSERT_NO_FATAL_FAILURE(WaitForRounds(5));
    EXPECT_EQ(target->state, 2);
    EXPECT_EQ(target->notified_state, 2);
    ASSERT_EQ(EventRows(), 1);
    EXPECT_EQ(EventCell(0, 0), "peer is down");
    EXPECT_EQ(EventCell(0, 1), "target");
    EXPECT_EQ(EventCell(0, 2), QString(kTargetAddress) + " ");
    for (int i = 0; i < kLoopbackHosts; ++i)
        EXPECT_EQ(Host(i)->state, 0) << "loopback host " << i;
    EXPECT_TRUE(PumpUntil([&] { return LoggedEvents("peer is down") == 1; }))
        << ReadFile(LogPath());
    const std::string downSubject = std::string("the host of ") + kTargetAddress + " is down";
    ASSERT_TRUE(server.WaitForMessages(1, 20s)) << "the down mail did not arrive";

    SetTargetLink("up");
    ASSERT_TRUE(PumpUntil([&] { return target->state == 0; }, 30s))
        << "the host did not come back:" << Describe();
    ASSERT_TRUE(PumpUntil([&] { return EventRows() >= 2; }));
    ASSERT_TRUE(server.WaitForMessages(2, 20s)) << "the up mail did not arrive";
    // Give a stray third event or mail its chance to show: a few more rounds of requests.
    ASSERT_NO_FATAL_FAILURE(WaitForRounds(5));

    ASSERT_EQ(EventRows(), 2);
    EXPECT_EQ(EventCell(1, 0), "peer is up");
    EXPECT_EQ(EventCell(1, 1), "target");
    EXPECT_EQ(target->notified_state, 0);
    EXPECT_EQ(LoggedEvents("peer is down"), 1);
    EXPECT_EQ(LoggedEvents("peer is up"), 1);
    const std::string log = ReadFile(LogPath());
    EXPECT_NE(log.find("MAIL: OK 127.0.0.1 " + downSubject + "\r\n"), std::string::npos) << log;

    const std::vector<mailtest::ReceivedMail> mails = server.Received();
    ASSERT_EQ(mails.size(), 2u);
    const std::string upSubject = std::string("the host of ") + kTargetAddress + " is up";
    EXPECT_EQ(Subject(mails[0]), downSubject);
    EXPECT_EQ(Subject(mails[1]), upSubject);
    for (const mailtest::ReceivedMail& mail : mails) {
        EXPECT_EQ(mail.mailFrom, kSender);
        EXPECT_EQ(mail.rcptTos, std::vector<std::string>{kRecipient});
        EXPECT_NE(mail.Body().find(std::string("the IP address is ") + kTargetAddress),
                  std::string::npos)
            << mail.data;
    }
    EXPECT_NE(log.find("MAIL: OK 127.0.0.1 " + upSubject + "\r\n"), std::string::npos) << log;
}

}  // namespace
