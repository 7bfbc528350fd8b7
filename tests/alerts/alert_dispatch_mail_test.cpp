// A host of the table goes down and comes back up; the alerts go through the real mail and
// program threads to Debian's stock mail server on loopback and a real child program.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <gtest/gtest.h>

#include "alerts/alert_dispatch.h"
#include "alerts/alerts_test_support.h"
#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/setup_info.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "mail/smtp_test_server.h"
#include "platform/tone.h"

namespace {

using alertstest::SetIPv4;
using alertstest::SetLostRateText;

constexpr const char* kDate = "Tuesday, December 08, 2026  01:05:09";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The arguments a record child was started with, from its record file.
std::vector<std::string> RecordedArguments(const std::string& path) {
    std::vector<std::string> args;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("arg ", 0) != 0)
            continue;
        const size_t blank = line.find(' ', 4);
        args.push_back(line.substr(blank + 1));
    }
    return args;
}

std::vector<std::string> RecordFiles(const std::string& dir) {
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".rec")
                files.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    return files;
}

std::optional<std::string> Header(const mailtest::ReceivedMail& mail, const std::string& name) {
    for (const std::string& line : mail.HeaderLines()) {
        if (line.rfind(name + ": ", 0) == 0)
            return line.substr(name.size() + 2);
    }
    return std::nullopt;
}

class SilentTone : public ToneOutput {
public:
    void Tone(uint32_t, uint32_t) override {}
};

template <typename T>
void StopAndJoin(std::unique_ptr<T>& thread) {
    if (!thread)
        return;
    thread->Stop();
    thread->Resume();
    if (thread->WaitForExit() == 2)
        thread.release();  // abandoned: still in use by its thread, never freed
    else
        thread.reset();
}

class AlertDispatchMailTest : public alertstest::FixedClockTest {
protected:
    void SetUp() override {
        FixedClockTest::SetUp();
        m_oldSetup = g_pSetupInfo;
        DestroyHostList();
        ASSERT_EQ(CreateHostList(16), 0);
        m_recordDir = m_dir.File("records");
        ASSERT_EQ(testsupport::RunShell("mkdir -p '" + m_recordDir + "'"), 0);
        setenv("VELMORA_RECORD_DIR", m_recordDir.c_str(), 1);
    }
    void TearDown() override {
        g_pMailThread = nullptr;
        g_pExecThread = nullptr;
        g_pBeepThread = nullptr;
        StopAndJoin(m_mail);
        StopAndJoin(m_exec);
        StopAndJoin(m_beep);
        unsetenv("VELMORA_RECORD_DIR");
        g_pSetupInfo = m_oldSetup;
        g_logFile.Close();
        DestroyHostList();
        FixedClockTest::TearDown();
    }

    testsupport::TempDir m_dir;
    std::string m_recordDir;
    CSetupInfo* m_oldSetup = nullptr;
    SilentTone m_tone;
    std::unique_ptr<cmailthread> m_mail;
    std::unique_ptr<cexecthread> m_exec;
    std::unique_ptr<cbeepthread> m_beep;
};

TEST_F(AlertDispatchMailTest, DownThenUpReachTheServerTheProgramAndTheLog) {
    mailtest::SmtpServerOptions stock;
    stock.stockServer = true;
    mailtest::SmtpTestServer server(stock);
    ASSERT_TRUE(server.Start()) << server.error();

    // Default texts and switches, a server, a sender, recipients in two groups (one of them
    // refused by the server), and a program to run.
    CSetupInfo setup;
    setup.smtpserver = "127.0.0.1";
    setup.smtpport = server.port();
    setup.emailfrom = "monitor@example.test";
    const std::pair<const char*, int32_t> recipients[] = {
        {"ops@example.test", 3},  {"other@example.test", 4}, {"night@example.test", 3},
        {"no%body@localhost", 3}, {"ops@example.test", 3},
    };
    for (size_t i = 0; i < std::size(recipients); ++i) {
        setup.newemailto[i] = recipients[i].first;
        setup.emailgrouplist[i] = recipients[i].second;
    }
    setup.newemailcount = static_cast<int32_t>(std::size(recipients));
    setup.runexe = 1;
    setup.exefilename = VELMORA_RECORD_CHILD;
    const std::string logPath = m_dir.File("velmora.log");
    setup.logfilename = logPath;
    g_pSetupInfo = &setup;
    ASSERT_TRUE(ReopenLogFile(setup.logfilename));

    m_mail = std::make_unique<cmailthread>();
    m_exec = std::make_unique<cexecthread>();
    m_beep = std::make_unique<cbeepthread>(&m_tone);
    g_pMailThread = m_mail.get();
    g_pExecThread = m_exec.get();
    g_pBeepThread = m_beep.get();
    m_mail->Resume();
    m_exec->Resume();

    CHostItem* host = AddHost(0);
    ASSERT_NE(host, nullptr);
    host->name = "gateway";
    SetIPv4(*host, "127.0.0.2");
    host->mail_group = 3;
    PublishHost(host);

    host->state = 2;
    host->notified_state = 2;
    SetLostRateText(*host, "100.00%");
    DispatchHostEvent(host);

    // The up mail goes out at normal priority.
    host->mail_priority = 0;
    host->state = 0;
    host->notified_state = 0;
    SetLostRateText(*host, "25.00%");
    DispatchHostEvent(host);

    ASSERT_TRUE(server.WaitForMessages(2, std::chrono::seconds(30)));
    const std::vector<mailtest::ReceivedMail> mails = server.Received();
    ASSERT_EQ(mails.size(), 2u);
    const char* events[] = {"down", "up"};
    const char* rates[] = {"100.00%", "25.00%"};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(events[i]);
        const mailtest::ReceivedMail& mail = mails[i];
        EXPECT_EQ(mail.reply.rfind("250 OK id=", 0), 0u) << mail.reply;
        EXPECT_EQ(mail.mailFrom, "monitor@example.test");
        EXPECT_EQ(mail.rcptTos, (std::vector<std::string>{"ops@example.test", "night@example.test",
                                                          "ops@example.test"}));
        EXPECT_EQ(Header(mail, "Subject"), std::string("the host of 127.0.0.2 is ") + events[i]);
        if (i == 0)
            EXPECT_EQ(Header(mail, "X-Priority"), "1");
        else
            EXPECT_EQ(Header(mail, "X-Priority"), std::nullopt);
        std::string body = mail.Body();
        if (body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0)
            body.resize(body.size() - 2);
        EXPECT_EQ(body, std::string("the name is gateway\r\n"
                                    "the IP address is 127.0.0.2\r\n"
                                    "the datetime is ") +
                            kDate + "\r\nthe EVENT is peer is " + events[i] +
                            "\r\nthe lost rate is " + rates[i]);
    }

    // Both runs started the program with the expanded default parameter line.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return RecordFiles(m_recordDir).size() == 2; }));
    std::set<std::vector<std::string>> runs;
    for (const std::string& file : RecordFiles(m_recordDir))
        runs.insert(RecordedArguments(file));
    const std::string dateArg = std::string("DATATIME=") + kDate;
    EXPECT_EQ(runs, (std::set<std::vector<std::string>>{
                        {"HOST=127.0.0.2", dateArg, "EVENT=peer is down", "LOSTRATE=100.00%"},
                        {"HOST=127.0.0.2", dateArg, "EVENT=peer is up", "LOSTRATE=25.00%"},
                    }));

    // Sound until stopped, once per event.
    EXPECT_EQ(m_beep->writeIndex(), 2u);

    const std::string program = VELMORA_RECORD_CHILD;
    const std::string execTail = std::string(" HOST=127.0.0.2 \"DATATIME=") + kDate + "\"";
    // The mail thread says that each mail missed a recipient, and why, whenever it is done
    // with it.
    const std::string failed = "MAIL: FAILED 3 127.0.0.1 the host of 127.0.0.2 is ";
    const std::string reason = " (550 restricted characters in address)\r\n";
    std::string log;
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        log = ReadFile(logPath);
        return log.find(failed + "up" + reason) != std::string::npos;
    })) << log;
    for (const char* event : events)
        log.erase(log.find(failed + event + reason),
                  failed.size() + std::strlen(event) + reason.size());
    EXPECT_EQ(log, std::string("EVENT: ") + kDate + "   gateway    127.0.0.2     peer is down\r\n" +
                       "MAIL: OK 127.0.0.1 the host of 127.0.0.2 is down\r\n" + "EXEC: OK " +
                       program + execTail + " \"EVENT=peer is down\" LOSTRATE=100.00%\r\n" +
                       "EVENT: " + kDate + "   gateway    127.0.0.2     peer is up\r\n" +
                       "MAIL: OK 127.0.0.1 the host of 127.0.0.2 is up\r\n" + "EXEC: OK " +
                       program + execTail + " \"EVENT=peer is up\" LOSTRATE=25.00%\r\n");
}

}  // namespace
