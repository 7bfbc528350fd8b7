#include "alerts/log_file.h"

#include <csignal>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "alerts/alerts_test_support.h"
#include "alerts/event_text.h"
#include "common/test_support.h"
#include "config/setup_info.h"
#include "engine/host_item.h"
#include "platform/tick.h"

namespace {

using alertstest::SetIPv4;
using alertstest::SetIPv6;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Every test gets its own file, opened through g_logFile, and closes it afterwards.
class LogFileTest : public alertstest::FixedClockTest {
protected:
    void SetUp() override {
        FixedClockTest::SetUp();
        m_path = m_dir.File("velmora.log");
        web.name = "web";
        web.state = 2;
        SetIPv4(web, "10.0.0.1");
        v6.name = "v6";
        v6.state = 0;
        SetIPv6(v6, "2001:db8::1");
    }
    void TearDown() override {
        g_logFile.Close();
        SetTickSource(nullptr);
        FixedClockTest::TearDown();
    }
    std::string Log() const { return ReadFile(m_path); }

    testsupport::TempDir m_dir;
    std::string m_path;
    CSetupInfo setup;
    CHostItem web;
    CHostItem v6;
};

TEST_F(LogFileTest, GoldenEventLines) {
    ASSERT_TRUE(ReopenLogFile(m_path));
    std::tm local = FixedLocal();
    EXPECT_TRUE(LogEventLine(web, local, setup));
    EXPECT_TRUE(LogEventLine(v6, local, setup));
    web.event_text = "TTL have changed from 64 to 57";
    EXPECT_TRUE(LogEventLine(web, local, setup));
    setup.reserve2 = kReserve2CsvLog;
    EXPECT_TRUE(LogEventLine(web, local, setup));
    web.event_text.clear();
    EXPECT_TRUE(LogEventLine(web, local, setup));
    EXPECT_TRUE(LogEventLine(v6, local, setup));
    EXPECT_EQ(Log(),
              "EVENT: Tuesday, December 08, 2026  01:05:09   web    10.0.0.1     peer is down\r\n"
              "EVENT: Tuesday, December 08, 2026  01:05:09   v6    2001:db8::1    peer is up\r\n"
              "EVENT: Tuesday, December 08, 2026  01:05:09   web    10.0.0.1     "
              "TTL have changed from 64 to 57\r\n"
              "08/12/2026,01:05:09,web,10.0.0.1,TTL have changed from 64 to 57\r\n"
              "08/12/2026,01:05:09,web,10.0.0.1,peer is down\r\n"
              "08/12/2026,01:05:09,v6,2001:db8::1,peer is up\r\n");
}

TEST_F(LogFileTest, GoldenMailExecTimeAndSummaryLines) {
    ASSERT_TRUE(ReopenLogFile(m_path));
    setup.smtpserver = "mail.example.org";
    setup.exefilename = "/usr/local/bin/notify";
    setup.logall = 1;
    // The CSV switch changes only the EVENT line.
    setup.reserve2 = kReserve2CsvLog;
    EXPECT_TRUE(LogMailLine(true, "the host of 10.0.0.1 is down", setup));
    EXPECT_TRUE(LogMailLine(false, "the host of 10.0.0.1 is down", setup));
    EXPECT_TRUE(LogExecLine(true, "HOST=10.0.0.1 \"EVENT=peer is down\"", setup));
    EXPECT_TRUE(LogExecLine(false, "HOST=10.0.0.1", setup));
    EXPECT_TRUE(LogTimeLine(setup));

    CHostItem never;  // never sent to: minimum all-ones, nothing counted
    never.name = "idle";
    SetIPv4(never, "127.0.0.2");
    EXPECT_TRUE(LogSummaryLine(never, setup));

    web.sent_count = 8;
    web.recv_count = 7;
    web.lost_rate = 12.5f;
    web.rtt_min = 3;
    web.rtt_max = 17;
    web.rtt_avg = 8;
    EXPECT_TRUE(LogSummaryLine(web, setup));
    // An IPv6 host has no IPv4 address and gets no summary.
    v6.sent_count = 3;
    EXPECT_FALSE(LogSummaryLine(v6, setup));

    EXPECT_EQ(Log(),
              "MAIL: OK mail.example.org the host of 10.0.0.1 is down\r\n"
              "MAIL: ERROR mail.example.org the host of 10.0.0.1 is down\r\n"
              "EXEC: OK /usr/local/bin/notify HOST=10.0.0.1 \"EVENT=peer is down\"\r\n"
              "EXEC: ERROR /usr/local/bin/notify HOST=10.0.0.1\r\n"
              "TIME: Tuesday, December 08, 2026  01:05:09\r\n"
              "SUMMARY: idle;Delay: Min/Max/Aver: 0ms/0ms/0ms/; Lost rate: 100.00%\r\n"
              "SUMMARY: web;Delay: Min/Max/Aver: 3ms/17ms/8ms/; Lost rate: 12.50%\r\n");
}

TEST_F(LogFileTest, SwitchesGateTheirLinesOnly) {
    ASSERT_TRUE(ReopenLogFile(m_path));
    std::tm local = FixedLocal();
    setup.logchange = 0;
    setup.logall = 1;
    setup.lognotify = 1;
    EXPECT_FALSE(LogEventLine(web, local, setup));
    EXPECT_TRUE(LogMailLine(true, "s", setup));
    EXPECT_TRUE(LogExecLine(true, "p", setup));
    setup.lognotify = 0;
    EXPECT_FALSE(LogMailLine(true, "s", setup));
    EXPECT_FALSE(LogExecLine(true, "p", setup));
    setup.logall = 0;
    EXPECT_FALSE(LogTimeLine(setup));
    EXPECT_FALSE(LogSummaryLine(web, setup));
    EXPECT_EQ(Log(), "MAIL: OK  s\r\nEXEC: OK  p\r\n");
}

TEST_F(LogFileTest, ClosedFileTakesNoLines) {
    setup.logall = 1;
    EXPECT_FALSE(g_logFile.IsOpen());
    EXPECT_FALSE(g_logFile.Flush());
    EXPECT_FALSE(LogEventLine(web, FixedLocal(), setup));
    EXPECT_FALSE(LogMailLine(true, "s", setup));
    EXPECT_FALSE(LogTimeLine(setup));
    EXPECT_FALSE(g_logFile.WriteLine("x"));
    // An empty name closes and opens nothing.
    ASSERT_TRUE(ReopenLogFile(m_path));
    EXPECT_TRUE(ReopenLogFile(""));
    EXPECT_FALSE(g_logFile.IsOpen());
    EXPECT_EQ(Log(), "");
}

TEST_F(LogFileTest, AppendsToWhatIsThereAndAcrossReopen) {
    WriteFile(m_path, "old line\r\n");
    ASSERT_TRUE(ReopenLogFile(m_path));
    EXPECT_TRUE(g_logFile.WriteLine("first"));
    // Saving the General page with the same name closes and reopens at the end.
    ASSERT_TRUE(ReopenLogFile(m_path));
    EXPECT_TRUE(g_logFile.WriteLine("second"));
    EXPECT_TRUE(g_logFile.Flush());
    EXPECT_EQ(Log(), "old line\r\nfirst\r\nsecond\r\n");
}

TEST_F(LogFileTest, LineBreaksInsideFieldsCannotForgeLines) {
    ASSERT_TRUE(ReopenLogFile(m_path));
    web.name = "evil\r\nEVENT: forged";
    EXPECT_TRUE(LogEventLine(web, FixedLocal(), setup));
    setup.smtpserver = "smtp\n";
    EXPECT_TRUE(LogMailLine(true, "a\rb", setup));
    EXPECT_EQ(Log(),
              "EVENT: Tuesday, December 08, 2026  01:05:09   evil  EVENT: forged    10.0.0.1     "
              "peer is down\r\n"
              "MAIL: OK smtp  a b\r\n");
}

TEST_F(LogFileTest, FailedOpenFillsTheErrorRecordAndWritesNothing) {
    std::string bad = m_dir.File("missing-dir/x.log");
    EXPECT_FALSE(ReopenLogFile(bad));
    EXPECT_FALSE(g_logFile.IsOpen());
    EXPECT_EQ(g_logFileException.os_error, ENOENT);
    EXPECT_EQ(g_logFileException.cause, kFileErrorNotFound);
    EXPECT_EQ(g_logFileException.file_name, bad);
    EXPECT_EQ(LogFileOpenFailedText(bad), "OPEN log file of   " + bad + "   failed!");
    EXPECT_FALSE(LogMailLine(true, "s", setup));

    // A directory is not a log file either.
    EXPECT_FALSE(ReopenLogFile(m_dir.path()));
    EXPECT_EQ(g_logFileException.file_name, m_dir.path());
}

TEST_F(LogFileTest, SecondWriterIsRefusedUntilTheFirstCloses) {
    ASSERT_TRUE(ReopenLogFile(m_path));
    CLogFile other;
    EXPECT_FALSE(other.Open(m_path));
    EXPECT_EQ(g_logFileException.cause, kFileErrorSharingViolation);
    g_logFile.Close();
    EXPECT_TRUE(other.Open(m_path));
    EXPECT_TRUE(other.WriteLine("other"));
    other.Close();
    EXPECT_EQ(Log(), "other\r\n");
}

TEST_F(LogFileTest, OpenedCloseOnExec) {
    ASSERT_TRUE(ReopenLogFile(m_path));
    int found = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64];
        char target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t length = readlink(link, target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        if (m_path != target)
            continue;
        ++found;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    }
    EXPECT_EQ(found, 1);
}

// A line written before the process is killed is in the file: nothing waits in a buffer.
TEST_F(LogFileTest, KilledProcessLosesNoLine) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CLogFile log;
        if (!log.Open(m_path) || !log.WriteLine("before the kill"))
            _exit(3);
        raise(SIGKILL);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    EXPECT_EQ(Log(), "before the kill\r\n");
}

uint32_t g_tick = 1;

// Debian's logrotate with the default `create` (renamed, a new file made), with `compress`
// (the renamed file deleted) and with `copytruncate`: the lines after the rotation are in the
// live log, those before in the rotated file, each once. A rename is noticed by the path
// check, which falls due a second after the last one.
TEST_F(LogFileTest, EveryLineSurvivesALogrotateRotation) {
    if (testsupport::RunShell("command -v logrotate >/dev/null") != 0)
        GTEST_SKIP() << "logrotate is not installed (scripts/test installs it)";
    SetTickSource([] { return g_tick; });
    for (const std::string way : {"create", "compress", "copytruncate"}) {
        const std::string log = m_dir.File(way + ".log"), conf = m_dir.File(way + ".conf");
        WriteFile(conf, log + " {\n  rotate 1\n  " + (way == "compress" ? "create\n  " : "") + way +
                            "\n}\n");
        ASSERT_TRUE(ReopenLogFile(log));
        EXPECT_TRUE(g_logFile.WriteLine(way + " before"));
        ASSERT_EQ(testsupport::RunShell("logrotate -f -s " + m_dir.File("state") + " " + conf), 0);
        g_tick += way == "create" ? 1000 : 1;
        EXPECT_TRUE(g_logFile.WriteLine(way + " after"));
        EXPECT_TRUE(g_logFile.WriteLine(way + " later"));
        ASSERT_EQ(testsupport::RunShell("zcat -f " + log + ".1* >" + log + ".old"), 0) << way;
        EXPECT_EQ(ReadFile(log + ".old"), way + " before\r\n");
        EXPECT_EQ(ReadFile(log), way + " after\r\n" + way + " later\r\n");
    }
}

}  // namespace
