// The once-a-minute work: statistics lines, the repeated down mail (also through the real
// mail thread to the loopback SMTP server) and the save of a changed setup.

#include "alerts/minute_work.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "alerts/alert_dispatch.h"
#include "alerts/alerts_test_support.h"
#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/file_commands.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "mail/smtp_test_server.h"

namespace {

using alertstest::SetIPv4;
using alertstest::SetIPv6;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Records the event rows, so a test can see that the minute work adds none.
class RowRecorder : public EventRowSink {
public:
    void AddEvent(CHostItem*, const std::tm&) override { ++rows; }
    int rows = 0;
};

class MinuteWorkTest : public alertstest::FixedClockTest {
protected:
    void SetUp() override {
        FixedClockTest::SetUp();
        // The store goes into the test's own directory.
        const char* config = std::getenv("XDG_CONFIG_HOME");
        m_hadConfig = config != nullptr;
        if (m_hadConfig)
            m_oldConfig = config;
        setenv("XDG_CONFIG_HOME", m_dir.File("config").c_str(), 1);
        m_oldSetup = g_pSetupInfo;
        g_pSetupInfo = &m_setup;
        DestroyHostList();
        ASSERT_EQ(CreateHostList(64), 0);
        m_log = m_dir.File("minute.log");
        g_pEventRowSink = &m_rows;
        g_bSetupModified = 0;
    }
    void TearDown() override {
        g_pMailThread = nullptr;
        if (m_mail) {
            m_mail->Stop();
            m_mail->Resume();
            if (m_mail->WaitForExit() == 2)
                m_mail.release();  // abandoned: its thread may still use it
        }
        g_pEventRowSink = nullptr;
        g_logFile.Close();
        DestroyHostList();
        g_pSetupInfo = m_oldSetup;
        g_bSetupModified = 0;
        if (m_hadConfig)
            setenv("XDG_CONFIG_HOME", m_oldConfig.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        FixedClockTest::TearDown();
    }

    CHostItem* Add(const char* name, const char* address, int32_t state) {
        CHostItem* host = AddHost(0);
        EXPECT_NE(host, nullptr);
        host->name = name;
        if (std::string(address).find(':') != std::string::npos)
            SetIPv6(*host, address);
        else
            SetIPv4(*host, address);
        host->state = state;
        PublishHost(host);
        return host;
    }

    void OpenLog() { ASSERT_TRUE(g_logFile.Open(m_log)); }
    std::string Log() { return ReadFile(m_log); }

    // A mail thread that is not resumed: its jobs stay in the ring to be counted.
    cmailthread& QueueOnly() {
        m_mail = std::make_unique<cmailthread>();
        g_pMailThread = m_mail.get();
        return *m_mail;
    }

    testsupport::TempDir m_dir;
    std::string m_log;
    CSetupInfo m_setup;
    CSetupInfo* m_oldSetup = nullptr;
    RowRecorder m_rows;
    std::unique_ptr<cmailthread> m_mail;
    bool m_hadConfig = false;
    std::string m_oldConfig;
};

TEST_F(MinuteWorkTest, SummaryOfEveryIPv4HostInTableOrderAndASaveOnlyWhenChanged) {
    CHostItem* gateway = Add("gateway", "10.0.0.1", 0);
    gateway->rtt_min = 3;
    gateway->rtt_max = 250;
    gateway->rtt_avg = 41;
    gateway->sent_count = 8;
    gateway->lost_rate = 12.5f;
    Add("v6 host", "2001:db8::1", 0);
    Add("never sent", "10.0.0.3", 1);
    m_setup.logall = 1;
    uint8_t stored[4096];
    uint32_t minutes = 0;

    // Log closed and nothing changed: no line, no store.
    RunMinuteWork(minutes);
    EXPECT_LE(LoadRegistryBlob(stored, sizeof stored), 0) << "stored although nothing changed";

    // Changed: stored on the tick, whether or not the log is open.
    g_bSetupModified = 1;
    RunMinuteWork(minutes);
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_GT(LoadRegistryBlob(stored, sizeof stored), 0);

    OpenLog();
    RunMinuteWork(minutes);
    EXPECT_EQ(Log(), std::string("TIME: ") + kDate + "\r\n" +
                         "SUMMARY: gateway;Delay: Min/Max/Aver: 3ms/250ms/41ms/; Lost rate: "
                         "12.50%\r\n" +
                         "SUMMARY: never sent;Delay: Min/Max/Aver: 0ms/0ms/0ms/; Lost rate: "
                         "100.00%\r\n");
    EXPECT_EQ(WriteSummaryLines(m_setup, nullptr), 1) << "no table: the TIME line alone";
}

// The imports and New Template store the setup at once; when that store fails, the next
// minute stores it, so the next start does not come back with the old setup.
TEST_F(MinuteWorkTest, ASetupWhoseStoreFailedAfterACommandIsStoredByTheNextMinute) {
    Add("from file", "10.0.0.1", 0);
    m_setup.smtpserver = "file.test";
    const std::string document = m_dir.File("setup.dat");
    const std::string text = m_dir.File("setup.txt");
    const std::string legacy = m_dir.File("hosts.txt");
    ASSERT_EQ(ExportToFileCommand(document), 0);
    ASSERT_EQ(ExportToTextCommand(text), 0);
    std::ofstream(legacy) << "IP=10.0.0.7;;i=1;;t=2;;s=30;;g=0;;p=0;;f=0;;n=legacy;;d=;;";
    const std::pair<const char*, std::function<int()>> commands[] = {
        {"import", [&] { return ImportFromFileCommand(document); }},
        {"import and append", [&] { return ImportAppendCommand(document); }},
        {"import text", [&] { return ImportFromTextCommand(text); }},
        {"import legacy list", [&] { return ImportFromTextCommand(legacy); }},
        {"new template", [] { return NewTemplateCommand(); }},
    };
    // A plain file where the configuration directory should be: every store fails.
    const std::string blocked = m_dir.File("blocked");
    std::ofstream(blocked).close();
    const std::string config = m_dir.File("config");
    std::vector<uint8_t> stored;
    uint32_t minutes = 0;
    for (const auto& [name, command] : commands) {
        setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
        ASSERT_EQ(command(), 0) << name;
        EXPECT_EQ(g_bSetupModified, 1) << name;

        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        RunMinuteWork(minutes);
        EXPECT_EQ(g_bSetupModified, 0) << name;
        const int length = LoadRegistryBlob(stored, kMaxSetupLength);
        ASSERT_EQ(SerializeSetup(), length) << name;
        EXPECT_TRUE(std::equal(stored.begin(), stored.end(), g_setupBuffer.begin())) << name;
    }
}

TEST_F(MinuteWorkTest, RepeatCounterCyclesWhetherOrNotRepeatIsOn) {
    CHostItem* down = Add("down", "10.0.0.1", 2);
    down->notify_down = 0;  // the repeat does not look at it
    down->notified_state = 2;
    Add("up", "10.0.0.2", 0);
    Add("changing", "10.0.0.3", 1);
    Add("lossy", "10.0.0.4", 4);
    cmailthread& mail = QueueOnly();
    m_setup.sendmail = 1;
    m_setup.loopemailint = 5;

    uint32_t minutes = 0;
    for (int tick = 1; tick <= 7; ++tick)
        EXPECT_EQ(RepeatDownMails(minutes, m_setup, g_pHostList), 0) << tick;
    EXPECT_EQ(minutes, 2u);  // reset at tick 5 with repeat off

    m_setup.bneedloopmail = 1;
    std::vector<int> mailedAt;
    for (int tick = 8; tick <= 20; ++tick) {
        if (RepeatDownMails(minutes, m_setup, g_pHostList) != 0)
            mailedAt.push_back(tick);
    }
    EXPECT_EQ(mailedAt, (std::vector<int>{10, 15, 20}));
    EXPECT_EQ(mail.writeIndex(), 3u);  // one per repeat, for the one host that is down
    EXPECT_EQ(down->notified_state, 2);
    EXPECT_EQ(m_rows.rows, 0);

    // Mail switched off: the counter still cycles, nothing is queued.
    m_setup.sendmail = 0;
    for (int tick = 21; tick <= 25; ++tick)
        RepeatDownMails(minutes, m_setup, g_pHostList);
    EXPECT_EQ(mail.writeIndex(), 3u);
    EXPECT_EQ(minutes, 0u);

    // An interval of 0 or 1 checks on every tick.
    m_setup.sendmail = 1;
    for (int32_t interval : {0, 1}) {
        m_setup.loopemailint = interval;
        EXPECT_EQ(RepeatDownMails(minutes, m_setup, g_pHostList), 1) << interval;
    }
}

TEST_F(MinuteWorkTest, RepeatedDownMailReachesTheServerWhileTheHostStaysDown) {
    mailtest::SmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.error();
    m_setup.smtpserver = "127.0.0.1";
    m_setup.smtpport = server.port();
    m_setup.emailfrom = "monitor@example.test";
    m_setup.newemailto[0] = "ops@example.test";
    m_setup.emailgrouplist[0] = 2;
    m_setup.newemailto[1] = "other@example.test";
    m_setup.emailgrouplist[1] = 0;
    m_setup.newemailcount = 2;
    m_setup.sendmail = 1;
    m_setup.bneedloopmail = 1;
    m_setup.loopemailint = 3;
    OpenLog();

    m_mail = std::make_unique<cmailthread>();
    g_pMailThread = m_mail.get();
    m_mail->Resume();

    CHostItem* down = Add("gateway", "127.0.0.2", 2);
    down->mail_group = 2;
    Add("web", "127.0.0.3", 0)->mail_group = 2;

    // Each tick is one minute; the mail goes out on every third while the host is down.
    uint32_t minutes = 0;
    std::vector<int> queuedAt;
    for (int tick = 1; tick <= 9; ++tick) {
        if (tick == 7)
            down->state = 0;  // back up: no more repeats
        const uint32_t before = m_mail->writeIndex();
        RunMinuteWork(minutes);
        if (m_mail->writeIndex() != before)
            queuedAt.push_back(tick);
    }
    EXPECT_EQ(queuedAt, (std::vector<int>{3, 6}));
    ASSERT_TRUE(server.WaitForMessages(2, std::chrono::seconds(30)));
    const std::vector<mailtest::ReceivedMail> mails = server.Received();
    ASSERT_EQ(mails.size(), 2u);
    for (const mailtest::ReceivedMail& mail : mails) {
        EXPECT_EQ(mail.rcptTos, std::vector<std::string>{"ops@example.test"});
        EXPECT_NE(mail.data.find("Subject: the host of 127.0.0.2 is down\r\n"), std::string::npos);
        EXPECT_NE(mail.Body().find("the name is gateway"), std::string::npos);
    }
    EXPECT_EQ(Log(),
              "MAIL: OK 127.0.0.1 the host of 127.0.0.2 is down\r\n"
              "MAIL: OK 127.0.0.1 the host of 127.0.0.2 is down\r\n");
}

}  // namespace
