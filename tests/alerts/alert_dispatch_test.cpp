#include "alerts/alert_dispatch.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alerts/alerts_test_support.h"
#include "alerts/event_text.h"
#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/setup_info.h"
#include "engine/host_item.h"
#include "platform/box_presenter.h"
#include "platform/program_launcher.h"
#include "platform/tone.h"

namespace {

using namespace std::chrono_literals;
using alertstest::SetIPv4;
using alertstest::SetIPv6;
using alertstest::SetLostRateText;

constexpr const char* kDate = "Tuesday, December 08, 2026  01:05:09";
constexpr const char* kProgram = "/opt/velmora/alert-hook";
constexpr const char* kServer = "mail.example.test";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(bytes.substr(start, end - start));
    EXPECT_EQ(start, bytes.size()) << "the log ends inside a line";
    return lines;
}

// The event list of the tests: remembers each row as the list would show it.
class RecordingRows : public EventRowSink {
public:
    struct Row {
        CHostItem* host;
        std::string event;
        std::string time;
    };
    void AddEvent(CHostItem* host, const std::tm& local) override {
        rows.push_back(Row{host, EventText(*host), FormatDateText(local)});
    }
    std::vector<Row> rows;
};

class RecordingLauncher : public ProgramLauncher {
public:
    LaunchResult Launch(const std::string& program, const std::string& parameters) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back({program, parameters});
        LaunchResult result;
        result.started = true;
        result.pid = 4242;
        return result;
    }
    std::vector<std::pair<std::string, std::string>> calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_calls;
};

// Boxes that close at once.
class RecordingPresenter : public BoxPresenter {
public:
    void ShowBox(const std::shared_ptr<MessageTarget>& owner, const std::string& caption,
                 const std::string& text, const std::atomic<uint8_t>&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.push_back({caption, text});
        m_owned = m_owned || owner != nullptr;
    }
    std::vector<std::pair<std::string, std::string>> boxes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes;
    }
    bool anyOwner() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_owned;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_boxes;
    bool m_owned = false;
};

// Tones that take no time.
class CountingTone : public ToneOutput {
public:
    void Tone(uint32_t, uint32_t) override { ++count; }
    std::atomic<int> count{0};
};

template <typename T>
void StopAndJoin(std::unique_ptr<T>& thread) {
    if (!thread)
        return;
    thread->Stop();
    thread->Resume();  // a thread never resumed ends at once
    if (thread->WaitForExit() == 2)
        thread.release();  // abandoned: still in use by its thread, never freed
    else
        thread.reset();
}

// Every test dispatches into its own settings record, log file, event list and four queue
// threads. The threads stay suspended unless a test starts them, so their rings show exactly
// what was queued.
class AlertDispatchTest : public alertstest::FixedClockTest {
protected:
    void SetUp() override {
        FixedClockTest::SetUp();
        m_logPath = m_dir.File("alerts.log");
        std::remove(m_logPath.c_str());
        ASSERT_TRUE(ReopenLogFile(m_logPath));

        m_oldSetup = g_pSetupInfo;
        setup = CSetupInfo();
        setup.smtpserver = kServer;
        setup.exefilename = kProgram;
        g_pSetupInfo = &setup;
        rows.rows.clear();
        g_pEventRowSink = &rows;

        mail = std::make_unique<cmailthread>();
        exec = std::make_unique<cexecthread>(&launcher);
        box = std::make_unique<cboxthread>(&presenter);
        beep = std::make_unique<cbeepthread>(&tone);
        g_pMailThread = mail.get();
        g_pExecThread = exec.get();
        g_pBoxThread = box.get();
        g_pBeepThread = beep.get();

        host.name = "web";
        SetIPv4(host, "127.0.0.2");
        SetLostRateText(host, "12.50%");
    }
    void TearDown() override {
        g_pMailThread = nullptr;
        g_pExecThread = nullptr;
        g_pBoxThread = nullptr;
        g_pBeepThread = nullptr;
        StopAndJoin(mail);
        StopAndJoin(exec);
        StopAndJoin(box);
        StopAndJoin(beep);
        g_pEventRowSink = nullptr;
        g_pSetupInfo = m_oldSetup;
        g_logFile.Close();
        FixedClockTest::TearDown();
    }

    std::vector<std::string> LogLines() const { return Lines(ReadFile(m_logPath)); }

    static std::string EventLine(const std::string& event) {
        return std::string("EVENT: ") + kDate + "   web    127.0.0.2     " + event;
    }
    static std::string MailLine(const char* outcome, const char* upOrDown) {
        return std::string("MAIL: ") + outcome + " " + kServer + " the host of 127.0.0.2 is " +
               upOrDown;
    }
    // The default parameter line, expanded for the test host.
    static std::string ExecLine(const char* outcome, const std::string& event) {
        return std::string("EXEC: ") + outcome + " " + kProgram +
               " HOST=127.0.0.2 \"DATATIME=" + kDate + "\" \"EVENT=" + event + "\" LOSTRATE=12.50%";
    }

    testsupport::TempDir m_dir;
    std::string m_logPath;
    CSetupInfo* m_oldSetup = nullptr;
    CSetupInfo setup;
    RecordingRows rows;
    RecordingLauncher launcher;
    RecordingPresenter presenter;
    CountingTone tone;
    std::unique_ptr<cmailthread> mail;
    std::unique_ptr<cexecthread> exec;
    std::unique_ptr<cboxthread> box;
    std::unique_ptr<cbeepthread> beep;
    CHostItem host;
};

// ---- the switches of the settings and the host's notify flags ----

struct SwitchCase {
    const char* label;
    int32_t state;
    const char* ttlText;  // "" for a change of state, else the TTL event text
    uint8_t notifyUp, notifyDown;
    uint8_t sendmail, runexe, popupbox, beep, lognotify;
    // Jobs expected in the mail, program, box and beep rings.
    uint32_t mails, execs, boxes, beeps;
    // Log lines after the EVENT line; "up"/"down" picks the texts of MAIL, EXEC carries the
    // event text.
    const char* mailLine;  // nullptr: none, else "up" or "down"
    bool execLine;
    bool notified;  // notified_state becomes the host's state
};

// clang-format off
const SwitchCase kSwitchCases[] = {
    // label                     state ttl  nU nD  mail exe pop bp log  M  E  B  S  mailLine exec  notified
    {"up, all on",                 0, "",   1, 1,  1,   1,  1,  1, 1,   1, 1, 1, 1, "up",    true, true},
    {"down, all on",               2, "",   1, 1,  1,   1,  1,  1, 1,   1, 1, 1, 1, "down",  true, true},
    {"changing counts as down",    1, "",   1, 1,  1,   1,  1,  1, 1,   1, 1, 1, 1, "down",  true, true},
    {"loss rate counts as down",   4, "",   1, 1,  1,   1,  1,  1, 1,   1, 1, 1, 1, "down",  true, true},
    {"loss rate, state 3",         3, "",   1, 1,  1,   1,  1,  1, 1,   1, 1, 1, 1, "down",  true, true},
    {"TTL while up",               0, "TTL have changed from 64 to 57",
                                           1, 0,  1,   1,  1,  1, 1,   1, 1, 1, 1, "up",    true, true},
    {"TTL while changing",         1, "TTL have changed from 64 to 57",
                                           0, 1,  1,   1,  1,  1, 1,   1, 1, 1, 1, "down",  true, true},
    {"up, notify_up off",          0, "",   0, 1,  1,   1,  1,  1, 1,   0, 0, 0, 0, nullptr, false, false},
    {"down, notify_down off",      2, "",   1, 0,  1,   1,  1,  1, 1,   0, 0, 0, 0, nullptr, false, false},
    {"loss, notify_down off",      4, "",   1, 0,  1,   1,  1,  1, 1,   0, 0, 0, 0, nullptr, false, false},
    {"TTL while down, gate shut",  2, "TTL have changed from 64 to 57",
                                           1, 0,  1,   1,  1,  1, 1,   0, 0, 0, 0, nullptr, false, false},
    {"down, notify_up off",        2, "",   0, 1,  1,   0,  0,  0, 1,   1, 0, 0, 0, "down",  false, true},
    {"all switches off",           2, "",   1, 1,  0,   0,  0,  0, 1,   0, 0, 0, 0, nullptr, false, false},
    {"mail only",                  0, "",   1, 1,  1,   0,  0,  0, 1,   1, 0, 0, 0, "up",    false, true},
    {"program only",               2, "",   1, 1,  0,   1,  0,  0, 1,   0, 1, 0, 0, nullptr, true,  true},
    {"popup only",                 2, "",   1, 1,  0,   0,  1,  0, 1,   0, 0, 1, 0, nullptr, false, false},
    {"sound only",                 0, "",   1, 1,  0,   0,  0,  1, 1,   0, 0, 0, 1, nullptr, false, false},
    {"all on, lognotify off",      2, "",   1, 1,  1,   1,  1,  1, 0,   1, 1, 1, 1, nullptr, false, true},
    {"mail and program, no log",   0, "",   1, 1,  1,   1,  0,  0, 0,   1, 1, 0, 0, nullptr, false, true},
};
// clang-format on

TEST_F(AlertDispatchTest, SwitchesAndNotifyFlagsDecideJobsAndLogLines) {
    for (const SwitchCase& c : kSwitchCases) {
        SCOPED_TRACE(c.label);
        // Fresh threads, list, log and record for every case.
        TearDown();
        SetUp();
        setup.sendmail = c.sendmail;
        setup.runexe = c.runexe;
        setup.popupbox = c.popupbox;
        setup.beep = c.beep;
        setup.lognotify = c.lognotify;
        host.state = c.state;
        host.event_text = c.ttlText;
        host.notify_up = c.notifyUp;
        host.notify_down = c.notifyDown;
        host.notified_state = 9;  // so that any write shows

        DispatchHostEvent(&host);

        const std::string event = *c.ttlText != '\0' ? c.ttlText : g_eventNames[c.state];
        ASSERT_EQ(rows.rows.size(), 1u);
        EXPECT_EQ(rows.rows[0].host, &host);
        EXPECT_EQ(rows.rows[0].event, event);
        EXPECT_EQ(rows.rows[0].time, kDate);

        EXPECT_EQ(mail->writeIndex(), c.mails);
        EXPECT_EQ(exec->writeIndex(), c.execs);
        EXPECT_EQ(box->writeIndex(), c.boxes);
        EXPECT_EQ(beep->writeIndex(), c.beeps);

        std::vector<std::string> expected = {EventLine(event)};
        if (c.mailLine != nullptr)
            expected.push_back(MailLine("OK", c.mailLine));
        if (c.execLine)
            expected.push_back(ExecLine("OK", event));
        EXPECT_EQ(LogLines(), expected);

        EXPECT_EQ(host.notified_state, c.notified ? c.state : 9);
    }
}

// ---- recipients ----

TEST_F(AlertDispatchTest, RecipientsAreTheHostsGroupInTableOrderWithDuplicates) {
    const std::pair<const char*, int32_t> table[] = {
        {"a@example.test", 1},    {"b@example.test", 2},    {"c@example.test", 1},
        {"a@example.test", 1},    {"zero@example.test", 0}, {"max@example.test", 65535},
        {"neg@example.test", -1}, {"late@example.test", 1},
    };
    for (size_t i = 0; i < std::size(table); ++i) {
        setup.newemailto[i] = table[i].first;
        setup.emailgrouplist[i] = table[i].second;
    }
    setup.newemailcount = static_cast<int32_t>(std::size(table));

    using List = std::vector<std::string>;
    EXPECT_EQ(SelectRecipients(setup, 1),
              (List{"a@example.test", "c@example.test", "a@example.test", "late@example.test"}));
    EXPECT_EQ(SelectRecipients(setup, 0), List{"zero@example.test"});
    EXPECT_EQ(SelectRecipients(setup, 2), List{"b@example.test"});
    // Group ids compare as integers: -1 in the table is not the 16-bit group 65535.
    EXPECT_EQ(SelectRecipients(setup, 65535), List{"max@example.test"});
    EXPECT_TRUE(SelectRecipients(setup, 7).empty());

    // Only the entries in use count.
    setup.newemailcount = 3;
    EXPECT_EQ(SelectRecipients(setup, 1), (List{"a@example.test", "c@example.test"}));
    setup.newemailcount = -5;
    EXPECT_TRUE(SelectRecipients(setup, 1).empty());
    // A count past the table is bounded to its 256 entries.
    for (int i = 0; i < kMaxRecipients; ++i) {
        setup.newemailto[static_cast<size_t>(i)] = "r" + std::to_string(i);
        setup.emailgrouplist[static_cast<size_t>(i)] = 4;
    }
    setup.newemailcount = 100000;
    const List all = SelectRecipients(setup, 4);
    ASSERT_EQ(all.size(), static_cast<size_t>(kMaxRecipients));
    EXPECT_EQ(all.front(), "r0");
    EXPECT_EQ(all.back(), "r255");
}

TEST_F(AlertDispatchTest, MailWithoutRecipientsIsQueuedAndLoggedOk) {
    setup.newemailto[0] = "ops@example.test";
    setup.emailgrouplist[0] = 1;
    setup.newemailcount = 1;
    host.mail_group = 2;
    host.state = 2;
    setup.beep = 0;
    DispatchHostEvent(&host);
    EXPECT_EQ(mail->writeIndex(), 1u);
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{EventLine("peer is down"), MailLine("OK", "down")}));
}

// ---- full and missing queues ----

TEST_F(AlertDispatchTest, FullMailRingLogsErrorAndTheOtherActionsStillRun) {
    setup.runexe = 1;
    setup.popupbox = 1;
    host.state = 2;
    for (uint32_t i = 0; i < kMailRingSlots - 1; ++i)
        ASSERT_EQ(mail->AddMail(JobOwner(), "s", 25, "", "", 0, "", "", 0, nullptr, "", "", 0), 0);
    const uint32_t mailsBefore = mail->writeIndex();

    DispatchHostEvent(&host);

    EXPECT_EQ(mail->writeIndex(), mailsBefore);  // dropped
    EXPECT_EQ(exec->writeIndex(), 1u);
    EXPECT_EQ(box->writeIndex(), 1u);
    EXPECT_EQ(beep->writeIndex(), 1u);
    EXPECT_EQ(host.notified_state, 2);
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{EventLine("peer is down"), MailLine("ERROR", "down"),
                                        ExecLine("OK", "peer is down")}));
}

TEST_F(AlertDispatchTest, FullProgramRingLogsExecErrorAndTheOtherActionsStillRun) {
    setup.runexe = 1;
    setup.popupbox = 1;
    host.state = 0;
    for (uint32_t i = 0; i < kExecRingSlots - 1; ++i)
        ASSERT_EQ(exec->AddCommand(JobOwner(), "p", ""), 0);

    DispatchHostEvent(&host);

    EXPECT_EQ(mail->writeIndex(), 1u);
    EXPECT_EQ(exec->writeIndex(), kExecRingSlots - 1);
    EXPECT_EQ(box->writeIndex(), 1u);
    EXPECT_EQ(beep->writeIndex(), 1u);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{EventLine("peer is up"), MailLine("OK", "up"),
                                                    ExecLine("ERROR", "peer is up")}));
}

TEST_F(AlertDispatchTest, MissingThreadsListAndSettingsNeverCrashAndNeverReportSuccess) {
    setup.runexe = 1;
    setup.popupbox = 1;
    host.state = 2;
    g_pMailThread = nullptr;
    g_pExecThread = nullptr;
    g_pBoxThread = nullptr;
    g_pBeepThread = nullptr;
    g_pEventRowSink = nullptr;

    DispatchHostEvent(&host);
    // The EVENT line is written without a list; a mail or run that could not be queued is
    // an error, never "OK".
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{EventLine("peer is down"), MailLine("ERROR", "down"),
                                        ExecLine("ERROR", "peer is down")}));

    g_pEventRowSink = &rows;
    g_pSetupInfo = nullptr;
    host.notified_state = 9;
    DispatchHostEvent(&host);
    EXPECT_EQ(rows.rows.size(), 1u);  // the row still appears
    EXPECT_EQ(host.notified_state, 9);
    EXPECT_EQ(LogLines().size(), 3u);

    DispatchHostEvent(nullptr);
    EXPECT_EQ(rows.rows.size(), 1u);
}

// ---- texts handed to the queues ----

TEST_F(AlertDispatchTest, PopupTexts) {
    host.state = 2;
    PopupText popup = BuildPopupText(host);
    EXPECT_EQ(popup.caption, "127.0.0.2");
    EXPECT_EQ(popup.text, "127.0.0.2 web\r\n\r\npeer is down");

    host.name.clear();
    host.event_text = "TTL have changed from 64 to 57";
    popup = BuildPopupText(host);
    EXPECT_EQ(popup.text, "127.0.0.2\r\n\r\nTTL have changed from 64 to 57");

    CHostItem v6;
    SetIPv6(v6, "2001:db8::7");
    v6.name = "six";
    v6.state = 4;
    popup = BuildPopupText(v6);
    EXPECT_EQ(popup.caption, "2001:db8::7");
    EXPECT_EQ(popup.text, "2001:db8::7 six\r\n\r\nlost rate is more than switch");
}

TEST_F(AlertDispatchTest, SoundRequestPairs) {
    setup.beepbreak = 1;
    setup.beepseconds = 7;
    EXPECT_EQ(SoundRequestPairs(setup), 0);  // until stopped
    setup.beepbreak = 0;
    EXPECT_EQ(SoundRequestPairs(setup), 7);
    // A timed sound of no length is no sound, not an endless one.
    setup.beepseconds = 0;
    EXPECT_EQ(SoundRequestPairs(setup), std::nullopt);
    setup.beepseconds = -3;
    EXPECT_EQ(SoundRequestPairs(setup), std::nullopt);

    setup.sendmail = 0;
    host.state = 2;
    setup.beepseconds = 0;
    DispatchHostEvent(&host);
    EXPECT_EQ(beep->writeIndex(), 0u);
}

TEST_F(AlertDispatchTest, RunningQueuesReceiveTheExpandedTextsInTheirOrder) {
    setup.sendmail = 0;
    setup.runexe = 1;
    setup.popupbox = 1;
    setup.beepbreak = 0;
    setup.beepseconds = 2;
    setup.execpara = "<NAME> \"<EVENT>\" <LOST RATE>";
    host.state = 4;
    exec->Resume();
    box->Resume();
    beep->Resume();

    DispatchHostEvent(&host);

    ASSERT_TRUE(testsupport::WaitUntil([&] {
        return launcher.calls().size() == 1 && presenter.boxes().size() == 1 && tone.count == 4;
    }));
    EXPECT_EQ(launcher.calls()[0],
              std::make_pair(std::string(kProgram),
                             std::string("web \"lost rate is more than switch\" 12.50%")));
    EXPECT_EQ(presenter.boxes()[0],
              std::make_pair(std::string("127.0.0.2"),
                             std::string("127.0.0.2 web\r\n\r\nlost rate is more than switch")));
    EXPECT_FALSE(presenter.anyOwner());
    // Two pairs of tones and no more.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return beep->readIndex() == beep->writeIndex(); }));
    EXPECT_EQ(tone.count, 4);
}

TEST_F(AlertDispatchTest, QueueHostMailIsTheDownMailWithoutRowOrNotifiedState) {
    host.state = 2;
    host.notified_state = 9;
    host.notify_down = 0;  // the repeated down mail ignores the gate
    EXPECT_TRUE(QueueHostMail(host, setup, true));
    EXPECT_EQ(mail->writeIndex(), 1u);
    EXPECT_EQ(host.notified_state, 9);
    EXPECT_TRUE(rows.rows.empty());
    EXPECT_EQ(LogLines(), std::vector<std::string>{MailLine("OK", "down")});
}

}  // namespace
