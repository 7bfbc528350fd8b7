#include "ui/corvantis_view.h"

#include <fstream>
#include <string>

#include <arpa/inet.h>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "alerts/job_queues.h"
#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/setup_info.h"
#include "engine/engine_messages.h"
#include "engine/host_list.h"
#include "engine/name_threads.h"
#include "ui/event_view.h"
#include "ui/qt_message_target.h"

namespace {

class CorvantisViewTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo();
        m_events = new CEventView();
        m_events->OnCreate();
        g_pEventView = m_events;
        m_view = new CCorvantisView();
        m_view->OnCreate();
        for (clookupthread& slot : g_lookupThreads)
            slot.addr.store(0);
        g_nextLookupSlot = 0;
    }
    void TearDown() override {
        delete m_view;
        delete m_events;
        g_logFile.Close();
        delete g_pSetupInfo;
        g_pSetupInfo = nullptr;
        DestroyHostList();
        SandboxTest::TearDown();
    }

    CHostItem* Add(const char* name, uint32_t addr = 0x7F000001) {
        CHostItem* host = AddHost(0);
        host->name = name;
        host->addr4.sin_family = AF_INET;
        host->addr4.sin_addr.s_addr = htonl(addr);
        PublishHost(host);
        return host;
    }

    // A reply `rtt` ms after the request, as the receive thread leaves it.
    static void Answer(CHostItem* host, uint32_t rtt, uint8_t ttl = 64) {
        host->pending_tick = 1000;
        host->answer_tick = 1000 + rtt;
        host->result = PING_RESULT_REPLY;
        host->recv_count.fetch_add(1);
        host->ttl = ttl;
    }

    CCorvantisView* m_view = nullptr;
    CEventView* m_events = nullptr;
};

TEST_F(CorvantisViewTest, CyclesAreRefusedWhileStopped) {
    EXPECT_EQ(g_pHostList->notify_wnd, m_view->messageTarget());
    EXPECT_EQ(g_pHostList->stopped.load(), 1);
    EXPECT_EQ(m_view->WindowProc(WM_CYCLE_BEGIN, 1, 0), -1);
    EXPECT_EQ(m_view->m_bInCycle, 0);
    m_view->OnCmdMsg(32790);  // Start Service
    EXPECT_EQ(m_view->WindowProc(WM_CYCLE_BEGIN, 1, 0), 0);
    EXPECT_EQ(m_view->m_bInCycle, 1);
    EXPECT_EQ(m_view->WindowProc(WM_CYCLE_END, 2, 0), 0);
    EXPECT_EQ(m_view->m_bInCycle, 0);
    m_view->OnCmdMsg(32776);  // Stop Service
    EXPECT_EQ(g_pHostList->stopped.load(), 1);
}

TEST_F(CorvantisViewTest, ReplyStatistics) {
    CHostItem* host = Add("a");
    Answer(host, 7);
    EXPECT_EQ(m_view->WindowProc(WM_PING_REPLY, 0, 258), 0);
    EXPECT_EQ(host->rtt_min, 7u);
    EXPECT_EQ(host->rtt_max, 7u);
    EXPECT_EQ(host->rtt_avg, 7u);
    EXPECT_EQ(host->rtt_cur, 7u);
    EXPECT_EQ(host->pending_tick.load(), 0u);
    Answer(host, 2);
    m_view->OnReplyReceived(0, 259);
    EXPECT_EQ(host->rtt_min, 2u);
    EXPECT_EQ(host->rtt_max, 7u);
    EXPECT_EQ(host->rtt_avg, 4u);  // (7 + 2) / 2
    // Later than the time-out: nothing changes, not even pending_tick.
    Answer(host, host->timeout.load() + 1);
    EXPECT_EQ(m_view->OnReplyReceived(0, 260), -4);
    EXPECT_EQ(host->rtt_max, 7u);
    EXPECT_NE(host->pending_tick.load(), 0u);
    // An ICMP error clears the request and touches no statistic.
    host->result = 3;
    EXPECT_EQ(m_view->OnReplyReceived(0, 261), 0);
    EXPECT_EQ(host->pending_tick.load(), 0u);
    EXPECT_EQ(host->rtt_cur, 2u);
    // An index without a host.
    EXPECT_EQ(m_view->OnReplyReceived(5, 0), -1);
}

TEST_F(CorvantisViewTest, TtlChangeRaisesOneEventAfterTheFirstTtl) {
    CHostItem* host = Add("router");
    host->advance = kAdvanceTtlEvent;
    Answer(host, 1, 64);
    m_view->OnReplyReceived(0, 1);
    EXPECT_EQ(host->ttl_seen, 64);
    EXPECT_EQ(m_events->topLevelItemCount(), 0);
    Answer(host, 1, 57);
    m_view->OnReplyReceived(0, 2);
    ASSERT_EQ(m_events->topLevelItemCount(), 1);
    EXPECT_EQ(m_events->topLevelItem(0)->text(0), "TTL have changed from 64 to 57");
    EXPECT_EQ(m_events->topLevelItem(0)->text(1), "router");
    EXPECT_TRUE(host->event_text.empty());
    EXPECT_EQ(host->ttl_seen, 57);
    m_view->OnReplyReceived(0, 3);  // same TTL: nothing
    EXPECT_EQ(m_events->topLevelItemCount(), 1);
    m_events->OnCmdMsg(32788);
    EXPECT_EQ(m_events->topLevelItemCount(), 0);
}

TEST_F(CorvantisViewTest, LookupsUseTheTwoSlotsInTurn) {
    CHostItem* a = Add("a", 0x7F000001);
    CHostItem* b = Add("b", 0x7F000002);
    CHostItem* c = Add("c", 0x7F000003);
    for (CHostItem* h : {a, b, c}) {
        h->ip_to_name = 1;
        h->lookup_tick = 0;
    }
    Answer(a, 1);
    a->answer_tick = 20000;
    a->pending_tick = 19999;
    EXPECT_EQ(m_view->OnReplyReceived(0, 1), 0);
    EXPECT_EQ(g_lookupThreads[1].addr.load(), htonl(0x7F000001));
    Answer(b, 1);
    b->answer_tick = 20000;
    b->pending_tick = 19999;
    EXPECT_EQ(m_view->OnReplyReceived(1, 1), 0);
    EXPECT_EQ(g_lookupThreads[0].addr.load(), htonl(0x7F000002));
    Answer(c, 1);
    c->answer_tick = 20000;
    c->pending_tick = 19999;
    EXPECT_EQ(m_view->OnReplyReceived(2, 1), -2);  // both slots busy
    // The lookup of slot 1 ends: the name is taken and the slot is free again.
    std::snprintf(g_lookupThreads[1].name, sizeof(g_lookupThreads[1].name), "localhost");
    EXPECT_EQ(m_view->WindowProc(WM_LOOKUP_DONE, 1, 0), 0);
    EXPECT_EQ(a->hostname, "localhost");
    EXPECT_EQ(a->looked_up, 1u);
    EXPECT_EQ(g_lookupThreads[1].addr.load(), 0u);
    g_lookupThreads[0].addr.store(0);
}

TEST_F(CorvantisViewTest, MinuteWorkWritesTheSummaryAndRepeatsDownMails) {
    const std::string log = m_dir.File("monitor.log");
    ASSERT_TRUE(g_logFile.Open(log));
    g_pSetupInfo->logall = 1;
    g_pSetupInfo->sendmail = 1;
    g_pSetupInfo->bneedloopmail = 1;
    g_pSetupInfo->loopemailint = 2;
    CHostItem* down = Add("down host");
    down->state = 2;
    Add("up host")->state = 0;
    cmailthread mail;  // not resumed: the jobs stay queued
    g_pMailThread = &mail;
    m_view->OnTimerTick(1);
    EXPECT_EQ(mail.writeIndex(), 0u);  // first tick: below the interval
    m_view->OnTimerTick(1);
    EXPECT_EQ(mail.writeIndex(), 1u);  // one repeated mail, for the down host only
    m_view->OnTimerTick(1);
    m_view->OnTimerTick(1);
    EXPECT_EQ(mail.writeIndex(), 2u);
    g_pMailThread = nullptr;
    g_logFile.Close();
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("TIME: "), std::string::npos);
    EXPECT_NE(text.find("SUMMARY: down host;"), std::string::npos);
    EXPECT_NE(text.find("SUMMARY: up host;"), std::string::npos);
}

}  // namespace
