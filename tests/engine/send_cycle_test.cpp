#include "engine/send_cycle.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "common/test_support.h"
#include "engine/engine_messages.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "platform/message_target.h"
#include "platform/tick.h"

namespace {

// ---------------------------------------------------------------------------------------
// A clock the test moves by hand; with `step` set, every reading also advances it.

std::atomic<uint32_t> g_now{100000};
std::atomic<uint32_t> g_step{0};

uint32_t TestTick() {
    return g_now.fetch_add(g_step.load());
}

// ---------------------------------------------------------------------------------------
// Every datagram the cycle hands to the socket layer.

struct Sent {
    int socket;
    sa_family_t family;
    uint32_t addr4;  // network order
    in6_addr addr6;
    std::vector<uint8_t> bytes;
    bool fromSendBuffer;
    uint32_t tick;
};

std::vector<Sent> g_sent;
int g_failErrno = 0;  // non-zero: every send fails with it

ssize_t FakeSend(int socket, const void* data, size_t length, const sockaddr* to,
                 socklen_t toLength) {
    if (g_failErrno != 0) {
        errno = g_failErrno;
        return -1;
    }
    Sent sent{};
    sent.socket = socket;
    sent.family = to->sa_family;
    if (to->sa_family == AF_INET && toLength >= sizeof(sockaddr_in))
        sent.addr4 = reinterpret_cast<const sockaddr_in*>(to)->sin_addr.s_addr;
    if (to->sa_family == AF_INET6 && toLength >= sizeof(sockaddr_in6))
        sent.addr6 = reinterpret_cast<const sockaddr_in6*>(to)->sin6_addr;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    sent.bytes.assign(bytes, bytes + length);
    sent.fromSendBuffer = bytes == g_sendBuffer;
    sent.tick = g_now.load();
    g_sent.push_back(std::move(sent));
    return static_cast<ssize_t>(length);
}

uint16_t Le16(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// What the receive path does with a matching echo reply.
void Answer(CHostItem* host) {
    host->seq.fetch_add(1);
    host->answer_tick.store(g_now.load());
    host->result.store(PING_RESULT_REPLY);
    host->recv_count.fetch_add(1);
    if (host->up.load() == 1) {
        host->run_count.fetch_add(1);
    } else {
        host->up.store(1);
        host->run_count.store(0);
    }
}

struct Message {
    uint32_t msg;
    WPARAM wParam;
    LPARAM lParam;
};

class SendCycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(64), 0);
        m_table = g_pHostList;
        m_table->notify_wnd = &m_window;
        m_table->stopped.store(0);
        g_now.store(100000);
        g_step.store(0);
        g_sent.clear();
        g_failErrno = 0;
        SetTickSource(TestTick);
        SetEchoSendFunction(FakeSend);
    }

    void TearDown() override {
        SetEchoSendFunction(nullptr);
        SetTickSource(nullptr);
        m_table->notify_wnd = nullptr;
        DestroyHostList();
    }

    CHostItem* Add(const char* address, uint32_t interval = 1000, uint32_t timeout = 2000,
                   uint32_t packetsize = 32) {
        CHostItem* host = AddHost(0);
        EXPECT_NE(host, nullptr);
        host->StoreAddr4(inet_addr(address));
        host->interval.store(interval);
        host->timeout.store(timeout);
        host->packetsize.store(packetsize);
        PublishHost(host);
        return host;
    }

    CHostItem* AddV6(const char* address, bool resolve) {
        CHostItem* host = AddHost(0);
        EXPECT_NE(host, nullptr);
        EXPECT_EQ(inet_pton(AF_INET6, address, &host->addr6.sin6_addr), 1);
        if (resolve)
            host->ResolveIPv6(nullptr);
        PublishHost(host);
        return host;
    }

    // Runs the send thread's DoWork on this thread and returns the period it chose.
    uint32_t Work() {
        m_thread.DoWork();
        m_window.Pump(0);
        return m_thread.period.load();
    }

    std::vector<Message> Taken(uint32_t msg) {
        m_window.Pump(0);
        std::vector<Message> found;
        for (const Message& m : m_messages) {
            if (m.msg == msg)
                found.push_back(m);
        }
        return found;
    }

    std::vector<Message> m_messages;
    LRESULT m_beginAnswer = 0;
    LRESULT m_endAnswer = 0;
    // Created on the test thread, so the cycle's sent messages are handled inline.
    QueueMessageTarget m_window{[this](uint32_t msg, WPARAM w, LPARAM l) -> LRESULT {
        m_messages.push_back({msg, w, l});
        if (msg == WM_CYCLE_BEGIN)
            return m_beginAnswer;
        if (msg == WM_CYCLE_END)
            return m_endAnswer;
        return 0;
    }};
    CHostList* m_table = nullptr;
    csendpingthread m_thread;  // never resumed: its DoWork runs here
};

// ---------------------------------------------------------------------------------------
// Checksums

TEST(InternetChecksumTest, MatchesRfc1071Example) {
    // RFC 1071's example: the words 0001 f203 f4f5 f6f7 sum to ddf2 after folding, so the
    // checksum field holds 220d in network order.
    const uint8_t bytes[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    uint16_t sum = InternetChecksum(bytes, sizeof bytes);
    uint8_t stored[2];
    std::memcpy(stored, &sum, 2);
    EXPECT_EQ(stored[0], 0x22);
    EXPECT_EQ(stored[1], 0x0d);
    EXPECT_EQ(InternetChecksumV6(bytes, sizeof bytes), sum);

    EXPECT_EQ(InternetChecksum(bytes, 0), 0xFFFF);
    const uint8_t ones[] = {0xFF, 0xFF};
    EXPECT_EQ(InternetChecksum(ones, 2), 0x0000);
}

TEST(InternetChecksumTest, OddLengthCountsAsPaddedWithZero) {
    std::mt19937 random(7);
    for (size_t length = 1; length < 200; length += 2) {
        std::vector<uint8_t> bytes(length + 1);
        for (size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<uint8_t>(random());
        bytes[length] = 0;
        EXPECT_EQ(InternetChecksum(bytes.data(), length),
                  InternetChecksum(bytes.data(), length + 1))
            << length;
    }
}

TEST(InternetChecksumTest, StoredChecksumMakesTheMessageSumToZero) {
    std::mt19937 random(11);
    for (size_t length : {8u, 9u, 40u, 41u, 1001u, 66000u}) {
        std::vector<uint8_t> bytes(length);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(random());
        bytes[2] = bytes[3] = 0;
        uint16_t sum = InternetChecksum(bytes.data(), length);
        std::memcpy(&bytes[2], &sum, 2);
        EXPECT_EQ(InternetChecksum(bytes.data(), length), 0) << length;
    }
}

TEST(InternetChecksumTest, TwoAccumulatorFormGivesTheSameValue) {
    std::mt19937 random(3);
    for (size_t length = 0; length < 300; ++length) {
        std::vector<uint8_t> bytes(length);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(random());
        ASSERT_EQ(InternetChecksumV6(bytes.data(), length), InternetChecksum(bytes.data(), length))
            << length;
    }
    // The largest request, all ones: the accumulators must not overflow.
    std::vector<uint8_t> full(kSendBufferSize, 0xFF);
    for (size_t length : {kSendBufferSize - 1, kSendBufferSize}) {
        EXPECT_EQ(InternetChecksumV6(full.data(), length), InternetChecksum(full.data(), length));
    }
    EXPECT_EQ(InternetChecksum(full.data(), kSendBufferSize), 0);
}

// ---------------------------------------------------------------------------------------
// The request on the wire

TEST_F(SendCycleTest, RequestLayoutIdentifierAndSequenceLeastSignificantByteFirst) {
    Add("127.0.0.1");
    for (int i = 1; i < 5; ++i)
        Add("127.0.0.2");
    CHostItem* host = Add("127.0.0.9");  // index 5
    host->seq.store(0x1234);
    ASSERT_EQ(SendEcho(host, 0, 5), 40);
    ASSERT_EQ(g_sent.size(), 1u);
    const Sent& sent = g_sent[0];
    EXPECT_EQ(sent.family, AF_INET);
    EXPECT_EQ(sent.addr4, inet_addr("127.0.0.9"));
    ASSERT_EQ(sent.bytes.size(), 40u);
    EXPECT_FALSE(sent.fromSendBuffer);
    EXPECT_EQ(sent.bytes[0], 8);
    EXPECT_EQ(sent.bytes[1], 0);
    EXPECT_EQ(sent.bytes[4], 0x06);  // 5 + 1025 = 0x0406
    EXPECT_EQ(sent.bytes[5], 0x04);
    EXPECT_EQ(sent.bytes[6], 0x34);
    EXPECT_EQ(sent.bytes[7], 0x12);
    EXPECT_EQ(InternetChecksum(sent.bytes.data(), sent.bytes.size()), 0);
    EXPECT_EQ(std::string(sent.bytes.begin() + 8, sent.bytes.end()),
              "abcdefghijklmnopqrstuvwabcdefghi");
    // The sequence is the receive path's to raise, not the sender's.
    EXPECT_EQ(host->seq.load(), 0x1234);
    EXPECT_EQ(host->sent_count.load(), 1u);
    EXPECT_EQ(host->pending_tick.load(), g_now.load());
    EXPECT_EQ(host->sent_tick.load(), g_now.load());
    EXPECT_EQ(host->answer_tick.load(), 0u);
}

TEST_F(SendCycleTest, LargePayloadsAreBuiltInTheSendBuffer) {
    CHostItem* host = Add("127.0.0.1");
    for (uint32_t payload : {0u, 1u, 32u, 33u, 1000u, 65000u, 65992u}) {
        g_sent.clear();
        host->packetsize.store(payload);
        ASSERT_EQ(SendEcho(host, 0, 0), static_cast<int>(payload + 8)) << payload;
        ASSERT_EQ(g_sent.size(), 1u);
        const std::vector<uint8_t>& bytes = g_sent[0].bytes;
        EXPECT_EQ(g_sent[0].fromSendBuffer, payload > 32) << payload;
        EXPECT_EQ(bytes[0], 8);
        EXPECT_EQ(Le16(bytes, 4), 1025);
        EXPECT_EQ(InternetChecksum(bytes.data(), bytes.size()), 0) << payload;
        for (uint32_t i = 0; i < payload; ++i) {
            ASSERT_EQ(bytes[8 + i], 'a' + i % 23) << payload << " at " << i;
        }
    }
}

TEST_F(SendCycleTest, PayloadBeyondTheSendBufferIsASendFailure) {
    CHostItem* host = Add("127.0.0.1", 1000, 2000, 65993);
    host->up.store(1);
    EXPECT_EQ(Work(), 1000u);  // the next attempt is due one interval later
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(host->result.load(), PING_RESULT_SENDFAIL);
    EXPECT_EQ(host->send_error.load(), static_cast<uint32_t>(EMSGSIZE));
    EXPECT_EQ(host->sent_count.load(), 0u);
    EXPECT_EQ(host->pending_tick.load(), 0u);
    EXPECT_EQ(host->up.load(), 0);
    std::vector<Message> fails = Taken(WM_PING_SENDFAIL);
    ASSERT_EQ(fails.size(), 1u);
    EXPECT_EQ(fails[0].wParam, 0u);
    EXPECT_EQ(fails[0].lParam, 0);
}

TEST_F(SendCycleTest, Ipv6HostGoesToItsResolvedDestination) {
    CHostItem* host = AddV6("::1", true);
    ASSERT_TRUE(host->target6.has_value());
    host->packetsize.store(33);
    ASSERT_EQ(SendEcho(host, 0, 0), 41);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].family, AF_INET6);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&g_sent[0].addr6));
    EXPECT_EQ(g_sent[0].bytes[0], 128);
    EXPECT_EQ(Le16(g_sent[0].bytes, 4), 1025);
    EXPECT_EQ(Le16(g_sent[0].bytes, 6), m_table->first_seq);
}

TEST_F(SendCycleTest, Ipv6HostWithoutDestinationIsASendFailure) {
    CHostItem* host = AddV6("2001:db8::5", false);
    ASSERT_FALSE(host->target6.has_value());
    Work();
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(host->result.load(), PING_RESULT_SENDFAIL);
    EXPECT_EQ(host->send_error.load(), static_cast<uint32_t>(EDESTADDRREQ));
    EXPECT_EQ(host->sent_count.load(), 0u);
    EXPECT_EQ(Taken(WM_PING_SENDFAIL).size(), 1u);
}

TEST_F(SendCycleTest, HostWhoseNameNeverResolvedIsASendFailure) {
    // 0.0.0.0 would reach this machine itself and be answered.
    CHostItem* host = Add("0.0.0.0");
    Work();
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(host->result.load(), PING_RESULT_SENDFAIL);
    EXPECT_EQ(host->send_error.load(), static_cast<uint32_t>(EDESTADDRREQ));
    EXPECT_EQ(Taken(WM_PING_SENDFAIL).size(), 1u);
    // Once the name thread has stored an address, the host is sent to.
    host->StoreAddr4(inet_addr("127.0.0.5"));
    g_now += 1000;
    Work();
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].addr4, inet_addr("127.0.0.5"));
}

TEST_F(SendCycleTest, FailedSendIsReportedOnceAndRetriedAfterTheInterval) {
    CHostItem* host = Add("127.0.0.1", 500, 2000);
    host->up.store(1);
    host->run_count.store(7);
    g_failErrno = ENETUNREACH;
    EXPECT_EQ(Work(), 500u);
    EXPECT_EQ(host->sent_count.load(), 0u);  // raised for the attempt, lowered again
    EXPECT_EQ(host->send_error.load(), static_cast<uint32_t>(ENETUNREACH));
    EXPECT_EQ(host->result.load(), PING_RESULT_SENDFAIL);
    EXPECT_EQ(host->up.load(), 0);
    EXPECT_EQ(host->run_count.load(), 0u);
    EXPECT_EQ(host->seq.load(), static_cast<uint16_t>(m_table->first_seq + 1));  // a new request
    EXPECT_EQ(Taken(WM_PING_SENDFAIL).size(), 1u);

    // No time-out follows a failed attempt, and nothing is due before the interval.
    g_now += 499;
    Work();
    EXPECT_EQ(Taken(WM_PING_SENDFAIL).size(), 1u);
    EXPECT_TRUE(Taken(WM_PING_TIMEOUT).empty());

    g_now += 1;
    Work();
    EXPECT_EQ(Taken(WM_PING_SENDFAIL).size(), 2u);
    EXPECT_EQ(host->run_count.load(), 1u);  // a second failure while down
}

// ---------------------------------------------------------------------------------------
// Pacing

TEST_F(SendCycleTest, EachHostIsSentToWhenItsOwnIntervalHasPassed) {
    CHostItem* slow = Add("127.0.0.1", 1000);
    CHostItem* fast = Add("127.0.0.2", 300);
    const uint32_t start = g_now.load();
    std::vector<uint32_t> slowTimes;
    std::vector<uint32_t> fastTimes;
    std::vector<uint32_t> periods;
    while (g_now.load() - start <= 3000) {
        size_t before = g_sent.size();
        uint32_t period = Work();
        periods.push_back(period);
        for (size_t i = before; i < g_sent.size(); ++i) {
            uint32_t address = g_sent[i].addr4;
            (address == inet_addr("127.0.0.1") ? slowTimes : fastTimes)
                .push_back(g_sent[i].tick - start);
        }
        // Both hosts answer at once.
        for (CHostItem* host : {slow, fast}) {
            if (host->answer_tick.load() == 0 && host->pending_tick.load() != 0)
                Answer(host);
        }
        g_now += period;
    }
    EXPECT_EQ(periods[0], 300u);
    EXPECT_EQ(slowTimes, (std::vector<uint32_t>{0, 1000, 2000, 3000}));
    EXPECT_EQ(fastTimes,
              (std::vector<uint32_t>{0, 300, 600, 900, 1200, 1500, 1800, 2100, 2400, 2700, 3000}));
    for (uint32_t period : periods) {
        EXPECT_GE(period, kMinSendPeriod);
        EXPECT_LE(period, kMaxSendPeriod);
    }
    EXPECT_TRUE(Taken(WM_PING_TIMEOUT).empty());
    EXPECT_EQ(slow->sent_count.load(), 4u);
    EXPECT_EQ(fast->sent_count.load(), 11u);
}

TEST_F(SendCycleTest, PeriodStaysWithinFiftyAndTwoThousandMilliseconds) {
    CHostItem* quick = Add("127.0.0.1", 10);
    EXPECT_EQ(Work(), kMinSendPeriod);
    Answer(quick);
    quick->interval.store(60000);
    g_now += 50;
    EXPECT_EQ(Work(), kMaxSendPeriod);

    DestroyHostList();
    ASSERT_EQ(CreateHostList(4), 0);
    m_table = g_pHostList;
    m_table->notify_wnd = &m_window;
    m_table->stopped.store(0);
    EXPECT_EQ(Work(), kMaxSendPeriod);  // an empty table

    DestroyHostList();
    EXPECT_EQ(Work(), kMaxSendPeriod);  // no table at all
    ASSERT_EQ(CreateHostList(4), 0);
    m_table = g_pHostList;
}

TEST_F(SendCycleTest, RefusedOrStoppedCycleLeavesHostsUntouched) {
    CHostItem* host = Add("127.0.0.1", 100);
    m_beginAnswer = -1;
    EXPECT_EQ(SendCycle(m_table, 0), -1);
    EXPECT_EQ(Work(), kMaxSendPeriod);
    EXPECT_TRUE(Taken(WM_CYCLE_END).empty());
    EXPECT_EQ(Taken(WM_CYCLE_BEGIN).size(), 2u);

    m_beginAnswer = 0;
    m_table->stopped.store(1);
    EXPECT_EQ(SendCycle(m_table, 0), 0);
    EXPECT_EQ(Work(), kMaxSendPeriod);
    EXPECT_TRUE(Taken(WM_CYCLE_END).empty());

    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(host->sent_tick.load(), 0u);
    EXPECT_EQ(host->pending_tick.load(), 0u);
    EXPECT_EQ(host->sent_count.load(), 0u);
    EXPECT_EQ(host->result.load(), 0);
}

TEST_F(SendCycleTest, CycleMessagesCarryTicksAndTheEndAnswer) {
    Add("127.0.0.1");
    Add("127.0.0.2");
    g_step.store(1);  // every reading of the clock moves it on by 1 ms
    const uint32_t start = g_now.load();
    EXPECT_EQ(SendCycle(m_table, 0), 0);
    std::vector<Message> begins = Taken(WM_CYCLE_BEGIN);
    std::vector<Message> ends = Taken(WM_CYCLE_END);
    ASSERT_EQ(begins.size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(begins[0].wParam, start);
    EXPECT_EQ(ends[0].wParam, start + 2);  // the tick of the last send
    EXPECT_EQ(ends[0].lParam, 0);

    // Nothing due: the end carries the cycle's start tick.
    m_messages.clear();
    const uint32_t second = g_now.load();
    m_endAnswer = 1;
    EXPECT_EQ(SendCycle(m_table, 0), -2);
    ends = Taken(WM_CYCLE_END);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].wParam, second);
}

TEST_F(SendCycleTest, SkippedAndSuspendedHostsAreNeverSentTo) {
    CHostItem* unfilled = AddHost(0);  // not yet published
    unfilled->StoreAddr4(inet_addr("127.0.0.1"));
    CHostItem* excluded = Add("127.0.0.2");
    excluded->list_flags.fetch_or(0x2);
    CHostItem* suspended = Add("127.0.0.3", 100, 200);
    suspended->advance.store(kAdvanceSuspended | kAdvanceTtlEvent);
    CHostItem* suspendedWaiting = Add("127.0.0.4", 100, 200);
    suspendedWaiting->advance.store(kAdvanceSuspended);
    // A request sent before the host was suspended may still time out, once.
    suspendedWaiting->pending_tick.store(g_now.load() - 150);
    suspendedWaiting->sent_tick.store(g_now.load() - 150);

    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Work(), kMaxSendPeriod);
        g_now += 2000;
    }
    EXPECT_TRUE(g_sent.empty());
    std::vector<Message> timeouts = Taken(WM_PING_TIMEOUT);
    ASSERT_EQ(timeouts.size(), 1u);
    EXPECT_EQ(timeouts[0].wParam, 3u);
    EXPECT_EQ(suspended->result.load(), 0);
    EXPECT_EQ(suspended->sent_tick.load(), 0u);
    EXPECT_EQ(unfilled->sent_tick.load(), 0u);
    EXPECT_EQ(excluded->sent_tick.load(), 0u);
    EXPECT_EQ(Taken(WM_CYCLE_END).size(), 5u);
}

// ---------------------------------------------------------------------------------------
// Time-outs

TEST_F(SendCycleTest, UnansweredRequestTimesOutAtItsDeadlineAndIsSentAgainWithTheNextSequence) {
    CHostItem* host = Add("127.0.0.7", 1000, 2000);
    const uint32_t start = g_now.load();
    EXPECT_EQ(Work(), 1000u);
    ASSERT_EQ(g_sent.size(), 1u);
    const uint16_t firstSeq = Le16(g_sent[0].bytes, 6);

    g_now.store(start + 1000);
    EXPECT_EQ(Work(), kMaxSendPeriod);  // a pending host does not shorten the sleep
    g_now.store(start + 1999);
    Work();
    EXPECT_TRUE(Taken(WM_PING_TIMEOUT).empty());
    EXPECT_EQ(g_sent.size(), 1u);

    g_now.store(start + 2000);
    Work();
    std::vector<Message> timeouts = Taken(WM_PING_TIMEOUT);
    ASSERT_EQ(timeouts.size(), 1u);
    EXPECT_EQ(timeouts[0].wParam, 0u);
    EXPECT_EQ(timeouts[0].lParam, 0);
    EXPECT_EQ(g_sent.size(), 1u);  // nothing sent in the cycle that found the time-out
    EXPECT_EQ(host->result.load(), PING_RESULT_TIMEOUT);
    EXPECT_EQ(host->pending_tick.load(), 0u);

    g_now.store(start + 2050);
    Work();
    ASSERT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(Le16(g_sent[1].bytes, 6), firstSeq + 1);
    EXPECT_EQ(host->sent_count.load(), 2u);
    EXPECT_EQ(host->recv_count.load(), 0u);
}

TEST_F(SendCycleTest, ConsecutiveTimeOutsOfAnUpHost) {
    CHostItem* host = Add("127.0.0.7", 1000, 2000);
    host->up.store(1);
    host->run_count.store(12);
    for (int round = 0; round < 2; ++round) {
        Work();  // sends
        g_now += 2000;
        Work();  // times out
        g_now += 50;
    }
    EXPECT_EQ(Taken(WM_PING_TIMEOUT).size(), 2u);
    EXPECT_EQ(host->up.load(), 0);
    EXPECT_EQ(host->run_count.load(), 1u);
}

TEST_F(SendCycleTest, TickWrapNeitherTimesOutEarlyNorStallsAHost) {
    CHostItem* quiet = Add("127.0.0.7", 1000, 2000);
    CHostItem* answering = Add("127.0.0.8", 1000, 2000);
    g_now.store(0xFFFFFB00u);  // 1,280 ms before the wrap
    Work();
    Answer(answering);
    g_now += 300;  // 0xFFFFFC2C: the deadline 0xFFFFFB00 + 2000 lies past the wrap
    Work();
    EXPECT_TRUE(Taken(WM_PING_TIMEOUT).empty());

    g_now.store(0x000002CFu);  // one millisecond before the deadline, after the wrap
    Work();
    EXPECT_TRUE(Taken(WM_PING_TIMEOUT).empty());
    // The answering host was due at 0xFFFFFEE8 and is sent to now, not 49 days later.
    EXPECT_EQ(answering->sent_count.load(), 2u);

    g_now.store(0x000002D0u);
    Work();
    EXPECT_EQ(Taken(WM_PING_TIMEOUT).size(), 1u);
    EXPECT_EQ(quiet->result.load(), PING_RESULT_TIMEOUT);
}

}  // namespace
