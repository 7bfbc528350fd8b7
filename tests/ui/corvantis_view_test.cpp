// The host list view: engine messages, lookups, the view's commands and the minute tick.

#include "ui/corvantis_view.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include <QApplication>
#include <QHeaderView>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/engine_messages.h"
#include "engine/host_list.h"
#include "engine/name_threads.h"
#include "platform/shell.h"
#include "ui/dlg_add_ip.h"
#include "ui/event_view.h"
#include "ui/ping_list_ctrl.h"
#include "ui/qt_message_target.h"
#include "ui/setup_dialog_fixture.h"

namespace {

std::vector<std::vector<std::string>> g_spawned;

bool RecordSpawn(const std::vector<std::string>& argv) {
    g_spawned.push_back(argv);
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class CorvantisViewTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo();
        g_bSetupModified = 0;
        m_events = new CEventView();
        m_events->OnCreate();
        g_pEventView = m_events;
        m_view = new CCorvantisView();
        m_view->OnCreate();
        for (clookupthread& slot : g_lookupThreads)
            slot.addr.store(0);
        g_nextLookupSlot = 0;
        SetShellSpawnHook(RecordSpawn);
        g_spawned.clear();
    }
    void TearDown() override {
        SetShellSpawnHook(nullptr);
        for (clookupthread& slot : g_lookupThreads)
            slot.addr.store(0);
        delete m_view;
        delete m_events;
        g_logFile.Close();
        delete g_pSetupInfo;
        g_pSetupInfo = nullptr;
        g_bSetupModified = 0;
        DestroyHostList();
        SandboxTest::TearDown();
    }

    CHostItem* Add(const char* name, uint32_t addr = 0x7F000001) {
        CHostItem* host = AddHost(0);
        host->name = name;
        host->addr4.sin_family = AF_INET;
        host->StoreAddr4(htonl(addr));
        PublishHost(host);
        return host;
    }

    // A reply `rtt` ms after the request, as the receive thread leaves it.
    static void Answer(CHostItem* host, uint32_t rtt, uint8_t ttl = 64, uint32_t sent = 1000) {
        host->pending_tick = sent;
        host->answer_tick = sent + rtt;
        host->result = PING_RESULT_REPLY;
        host->recv_count.fetch_add(1);
        host->ttl = ttl;
    }

    // The event rows whose text begins with `prefix`.
    std::vector<int> EventRows(const QString& prefix) const {
        std::vector<int> rows;
        for (int r = 0; r < m_events->RowCount(); ++r) {
            if (m_events->CellText(r, 0).startsWith(prefix))
                rows.push_back(r);
        }
        return rows;
    }

    // Marks the row as not refreshed: a refresh rewrites the loss-rate text.
    static void MarkRow(CHostItem* host) { std::snprintf(host->lost_rate_text, 8, "mark"); }
    static bool RowRefreshed(const CHostItem* host) {
        return std::string(host->lost_rate_text) != "mark";
    }

    CCorvantisView* m_view = nullptr;
    CEventView* m_events = nullptr;
};

TEST_F(CorvantisViewTest, CyclesAreRefusedWhileStopped) {
    EXPECT_EQ(g_pHostList->notify_wnd, m_view->messageTarget());
    EXPECT_EQ(g_hHostListWnd.load(), m_view->messageTarget());
    EXPECT_EQ(g_pHostList->stopped.load(), 1);
    EXPECT_EQ(m_view->WindowProc(WM_CYCLE_BEGIN, 1, 0), -1);
    EXPECT_EQ(m_view->m_bInCycle, 0);
    m_view->OnCmdMsg(32790);  // Start Service
    EXPECT_EQ(m_view->WindowProc(WM_CYCLE_BEGIN, 1, 0), 0);
    EXPECT_EQ(m_view->m_bInCycle, 1);

    // Stopping during a cycle waits once, briefly.
    const auto start = std::chrono::steady_clock::now();
    m_view->OnCmdMsg(32776);  // Stop Service
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(g_pHostList->stopped.load(), 1);
    EXPECT_EQ(m_view->WindowProc(WM_CYCLE_END, 2, 0), 0);
    EXPECT_EQ(m_view->m_bInCycle, 0);
    EXPECT_EQ(m_view->WindowProc(WM_CYCLE_BEGIN, 3, 0), -1);
}

TEST_F(CorvantisViewTest, ReplyStatisticsAndLateReplies) {
    CHostItem* host = Add("a");
    Answer(host, 7);
    EXPECT_EQ(m_view->WindowProc(WM_PING_REPLY, 0, 258), 0);
    EXPECT_EQ(host->rtt_min, 7u);
    EXPECT_EQ(host->rtt_max, 7u);
    EXPECT_EQ(host->rtt_avg, 7u);
    EXPECT_EQ(host->rtt_cur, 7u);
    EXPECT_EQ(host->pending_tick.load(), 0u);
    Answer(host, 2);
    EXPECT_EQ(m_view->OnReplyReceived(0, 259), 0);
    EXPECT_EQ(host->rtt_min, 2u);
    EXPECT_EQ(host->rtt_max, 7u);
    EXPECT_EQ(host->rtt_avg, 4u);  // (7 + 2) / 2
    EXPECT_EQ(host->rtt_cur, 2u);

    // Later than the time-out, or answered before it was asked: nothing changes, not even
    // pending_tick or the row.
    const uint64_t sum = host->rtt_sum;
    for (const auto& [rtt, expected] :
         {std::pair<uint32_t, LRESULT>{2001, -4}, std::pair<uint32_t, LRESULT>{0xFFFFFFF0u, -3}}) {
        Answer(host, rtt);
        MarkRow(host);
        EXPECT_EQ(m_view->OnReplyReceived(0, 260), expected);
        EXPECT_EQ(host->rtt_max, 7u);
        EXPECT_EQ(host->rtt_cur, 2u);
        EXPECT_EQ(host->rtt_sum, sum);
        EXPECT_EQ(host->pending_tick.load(), 1000u);
        EXPECT_FALSE(RowRefreshed(host));
    }
}

TEST_F(CorvantisViewTest, IcmpErrorsAndStaleMessages) {
    CHostItem* host = Add("a");
    Answer(host, 5);
    m_view->OnReplyReceived(0, 1);

    // An ICMP error closes the request and refreshes the row, statistics untouched.
    host->pending_tick = 5000;
    host->answer_tick = 5003;
    host->result = 3;
    MarkRow(host);
    EXPECT_EQ(m_view->OnReplyReceived(0, 2), 0);
    EXPECT_EQ(host->pending_tick.load(), 0u);
    EXPECT_TRUE(RowRefreshed(host));
    EXPECT_EQ(host->rtt_cur, 5u);
    EXPECT_EQ(host->rtt_sum, 5u);

    // A new request went out before the message was handled (answer_tick cleared): it stays
    // pending, and the old answer adds nothing.
    host->result = PING_RESULT_REPLY;
    host->answer_tick = 0;
    host->pending_tick = 9000;
    EXPECT_EQ(m_view->OnReplyReceived(0, 3), 0);
    EXPECT_EQ(host->pending_tick.load(), 9000u);
    EXPECT_EQ(host->rtt_sum, 5u);

    // Messages for an index with no host are ignored.
    for (const uint32_t msg : {WM_PING_REPLY, WM_PING_TIMEOUT, WM_PING_SENDFAIL})
        EXPECT_LE(m_view->WindowProc(msg, 7, 7), 0);
    EXPECT_EQ(m_view->OnReplyReceived(1, 0), -1);
    EXPECT_EQ(m_view->OnReplyReceived(static_cast<WPARAM>(-1), 0), -1);
    EXPECT_EQ(m_view->OnHostRowRefresh(0, -5), 0);
    ClearHostList(0);
    EXPECT_EQ(m_view->OnReplyReceived(0, 4), -1);

    // Time-outs and send failures refresh the row.
    CHostItem* other = Add("b");
    MarkRow(other);
    EXPECT_EQ(m_view->WindowProc(WM_PING_TIMEOUT, 0, 0), 0);
    EXPECT_TRUE(RowRefreshed(other));
    MarkRow(other);
    EXPECT_EQ(m_view->WindowProc(WM_PING_SENDFAIL, 0, 0), 0);
    EXPECT_TRUE(RowRefreshed(other));
}

TEST_F(CorvantisViewTest, TtlChangeRaisesOneEventAfterTheFirstTtl) {
    CHostItem* host = Add("router");
    host->advance = kAdvanceTtlEvent;
    Answer(host, 1, 64);
    m_view->OnReplyReceived(0, 1);
    EXPECT_EQ(host->ttl_seen, 64);
    EXPECT_TRUE(EventRows("TTL").empty());

    Answer(host, 1, 57);
    m_view->OnReplyReceived(0, 2);
    const std::vector<int> rows = EventRows("TTL");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(m_events->CellText(rows[0], 0), "TTL have changed from 64 to 57");
    EXPECT_EQ(m_events->CellText(rows[0], 1), "router");
    EXPECT_TRUE(host->event_text.empty());
    EXPECT_EQ(host->ttl_seen, 57);

    m_view->OnReplyReceived(0, 3);  // the same TTL again: nothing
    EXPECT_EQ(EventRows("TTL").size(), 1u);

    // With TTL events off the change is neither announced nor remembered.
    host->advance = 0;
    Answer(host, 1, 60);
    m_view->OnReplyReceived(0, 4);
    EXPECT_EQ(EventRows("TTL").size(), 1u);
    EXPECT_EQ(host->ttl_seen, 57);
}

TEST_F(CorvantisViewTest, LookupsUseTheTwoSlotsInTurn) {
    CHostItem* a = Add("a", 0x7F000001);
    CHostItem* b = Add("b", 0x7F000002);
    CHostItem* c = Add("c", 0x7F000003);
    for (CHostItem* h : {a, b, c})
        h->ip_to_name = 1;
    Answer(a, 1, 64, 19999);
    EXPECT_EQ(m_view->OnReplyReceived(0, 1), 0);
    EXPECT_EQ(g_lookupThreads[1].addr.load(), htonl(0x7F000001));
    EXPECT_EQ(g_lookupThreads[1].host_index, 0);
    EXPECT_EQ(g_lookupThreads[1].owner, m_view->messageTarget());
    Answer(b, 1, 64, 19999);
    EXPECT_EQ(m_view->OnReplyReceived(1, 1), 0);
    EXPECT_EQ(g_lookupThreads[0].addr.load(), htonl(0x7F000002));
    Answer(c, 1, 64, 19999);
    EXPECT_EQ(m_view->OnReplyReceived(2, 1), -2);  // both slots busy: not queued

    // Slot 1 ends: the name is taken, the slot is free again.
    std::snprintf(g_lookupThreads[1].name, sizeof(g_lookupThreads[1].name), "localhost");
    EXPECT_EQ(m_view->WindowProc(WM_LOOKUP_DONE, 1, 0), 0);
    EXPECT_EQ(a->hostname, "localhost");
    EXPECT_EQ(a->looked_up, 1u);
    EXPECT_EQ(g_lookupThreads[1].addr.load(), 0u);

    // Slot 0 ends after its host moved to another address: no name, but looked up.
    b->StoreAddr4(htonl(0x7F000009));
    std::snprintf(g_lookupThreads[0].name, sizeof(g_lookupThreads[0].name), "old.name");
    EXPECT_EQ(m_view->OnLookupDone(0, 0), 0);
    EXPECT_EQ(b->hostname, "");
    EXPECT_EQ(b->looked_up, 1u);
    EXPECT_EQ(g_lookupThreads[0].addr.load(), 0u);

    // A host edited into one given by name keeps the host name it was given.
    c->name_host = 1;
    c->hostname = "c.example.test";
    g_lookupThreads[1].host_index = 2;
    g_lookupThreads[1].addr.store(c->LoadAddr4());
    std::snprintf(g_lookupThreads[1].name, sizeof(g_lookupThreads[1].name), "reverse.name");
    EXPECT_EQ(m_view->OnLookupDone(1, 0), 0);
    EXPECT_EQ(c->hostname, "c.example.test");
    EXPECT_EQ(g_lookupThreads[1].addr.load(), 0u);

    // A stray report of a free slot or of no slot changes nothing.
    EXPECT_EQ(m_view->OnLookupDone(1, 0), 0);
    EXPECT_EQ(m_view->OnLookupDone(2, 0), 0);
}

TEST_F(CorvantisViewTest, LookupsOnlyForHostsThatWantOneAndHaveAnIPv4Address) {
    CHostItem* looked = Add("done", 0x7F000001);
    looked->ip_to_name = 1;
    looked->looked_up = 1;
    CHostItem* byName = Add("by name", 0x7F000002);
    byName->ip_to_name = 1;
    byName->name_host = 1;
    CHostItem* v6 = Add("v6", 0);
    v6->ip_to_name = 1;
    v6->addr6.sin6_family = AF_INET6;
    ASSERT_EQ(inet_pton(AF_INET6, "::1", &v6->addr6.sin6_addr), 1);
    CHostItem* early = Add("early", 0x7F000004);
    early->ip_to_name = 1;
    CHostItem* unwanted = Add("off", 0x7F000005);

    const std::pair<CHostItem*, uint32_t> cases[] = {
        {looked, 30000}, {byName, 30000}, {v6, 30000}, {early, 15000}, {unwanted, 30000}};
    // A slot that was filled names its host; none may be.
    for (clookupthread& slot : g_lookupThreads)
        slot.host_index = 999;
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        Answer(cases[i].first, 1, 64, cases[i].second - 1);
        EXPECT_EQ(m_view->OnReplyReceived(i, 1), 0) << cases[i].first->name;
        for (const clookupthread& slot : g_lookupThreads) {
            EXPECT_EQ(slot.addr.load(), 0u) << cases[i].first->name;
            EXPECT_EQ(slot.host_index, 999) << cases[i].first->name;
        }
    }
}

// The list control checks the record itself; the view only has to hand the message on.
TEST_F(CorvantisViewTest, NewAddressOfAHostGivenByNameReachesItsRow) {
    CHostItem* named = Add("by name", 0x7F000001);
    named->name_host = 1;
    named->hostname = "router.example.test";
    m_view->OnInitialUpdate();
    QAbstractItemModel* model = m_view->m_pList->model();
    EXPECT_EQ(model->data(model->index(0, 1), Qt::DisplayRole).toString(),
              "router.example.test / 127.0.0.1");

    // What the re-resolution thread does: store the address, then send the record.
    named->StoreAddr4(htonl(0x7F000042));
    EXPECT_EQ(g_hHostListWnd.load()->Send(WM_HOST_ADDRESS, reinterpret_cast<WPARAM>(named), 0),
              std::optional<LRESULT>(0));
    EXPECT_EQ(model->data(model->index(0, 1), Qt::DisplayRole).toString(),
              "router.example.test / 127.0.0.66");
}

TEST_F(CorvantisViewTest, ViewLogFileHandsTheLogToTheShell) {
    m_view->OnCmdMsg(32780);
    EXPECT_TRUE(g_spawned.empty()) << "no log file name: nothing to open";

    for (const char* name : {"/var/tmp/monitor.log", "/var/tmp/MONITOR.Log"}) {
        g_pSetupInfo->logfilename = name;
        g_spawned.clear();
        m_view->OnCmdMsg(32780);
        EXPECT_EQ(g_spawned, (std::vector<std::vector<std::string>>{{"xdg-open", name}}));
    }
    for (const char* name : {"/var/tmp/monitor.txt", "log", "/var/tmp/monitorlog"}) {
        g_pSetupInfo->logfilename = name;
        g_spawned.clear();
        m_view->OnCmdMsg(32780);
        EXPECT_EQ(
            g_spawned,
            (std::vector<std::vector<std::string>>{ShellProgramCommand("notepad.exe", name)}));
    }
}

TEST_F(CorvantisViewTest, PropertyEditsTheFirstSelectedHostOnly) {
    Add("a", 0x7F000001);
    CHostItem* b = Add("b", 0x7F000002);
    Add("c", 0x7F000003);
    m_view->OnInitialUpdate();

    // Any dialog that opens is recorded and cancelled.
    std::vector<CHostItem*> edited;
    int dialogs = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ++dialogs;
            if (auto* dialog = qobject_cast<CDlgAddIP*>(modal))
                edited.push_back(dialog->m_pHost);
            modal->close();
        }
    });
    closer.start(10);

    m_view->OnCmdMsg(32803);
    EXPECT_EQ(dialogs, 0) << "no row selected: nothing happens";

    QItemSelectionModel* selection = m_view->m_pList->selectionModel();
    QAbstractItemModel* model = m_view->m_pList->model();
    selection->select(model->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection->select(model->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    m_view->OnCmdMsg(32803);
    EXPECT_EQ(edited, std::vector<CHostItem*>{b});
    EXPECT_EQ(g_bSetupModified, 0) << "a cancelled edit changes nothing";
    uint8_t stored[4096];
    EXPECT_LE(LoadRegistryBlob(stored, sizeof stored), 0);
    closer.stop();

    // OK: the row shows the edited name and the setup is stored at once.
    setuptest::WhenModal<CDlgAddIP>([](CDlgAddIP* dialog) {
        dialog->m_pHost->name = "renamed";
        dialog->accept();
    });
    m_view->OnProperty();
    EXPECT_EQ(model->data(model->index(1, 0), Qt::DisplayRole).toString(), "renamed");
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_GT(LoadRegistryBlob(stored, sizeof stored), 0);
}

TEST_F(CorvantisViewTest, HeaderClickSortsAndAColumnDragMarksTheSetup) {
    Add("zulu", 0x7F000001);
    Add("alpha", 0x7F000002);
    Add("mike", 0x7F000003);
    m_view->OnInitialUpdate();
    m_view->resize(800, 300);
    m_view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_view));

    QHeaderView* header = m_view->m_pList->horizontalHeader();
    const int x = header->sectionViewportPosition(0) + header->sectionSize(0) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    EXPECT_EQ(g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[0]))->name, "alpha");
    EXPECT_EQ(g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[2]))->name, "zulu");
    EXPECT_EQ(g_bSetupModified, 0) << "a click is no column drag";

    // Drag the divider after column 0 to the right.
    const int edge = header->sectionViewportPosition(0) + header->sectionSize(0) - 1;
    const int y = header->height() / 2;
    QTest::mousePress(header->viewport(), Qt::LeftButton, {}, QPoint(edge, y));
    QTest::mouseMove(header->viewport(), QPoint(edge + 20, y));
    QTest::mouseMove(header->viewport(), QPoint(edge + 40, y));
    EXPECT_EQ(g_bSetupModified, 0) << "only the end of the drag counts";
    QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(edge + 40, y));
    EXPECT_EQ(g_bSetupModified, 1);

    // A double click on the divider fits the column to its texts: a new width as well.
    g_bSetupModified = 0;
    const int width = header->sectionSize(0);
    const int fitted = header->sectionViewportPosition(0) + width - 1;
    // As a mouse sends it: press, release, double click, release.
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(fitted, y));
    QTest::mouseDClick(header->viewport(), Qt::LeftButton, {}, QPoint(fitted, y));
    EXPECT_EQ(g_bSetupModified, 0) << "only the end of the double click counts";
    QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(fitted, y));
    ASSERT_NE(header->sectionSize(0), width);
    EXPECT_EQ(g_bSetupModified, 1);
}

TEST_F(CorvantisViewTest, MinuteTickRunsTheMinuteWorkOnTheViewsCounter) {
    const std::string log = m_dir.File("monitor.log");
    ASSERT_TRUE(g_logFile.Open(log));
    g_pSetupInfo->logall = 1;
    g_pSetupInfo->loopemailint = 3;
    m_view->OnTimerTick(77);
    m_view->OnTimerTick(77);
    EXPECT_EQ(m_view->m_minuteCount, 2u);
    EXPECT_EQ(m_view->m_timerTicks, 2u);
    EXPECT_EQ(ReadFile(log).rfind("TIME: ", 0), 0u);
}

}  // namespace
