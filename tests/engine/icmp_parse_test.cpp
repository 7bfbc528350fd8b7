#include "engine/icmp_parse.h"

#include <atomic>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "engine/engine_messages.h"
#include "engine/host_list.h"
#include "engine/icmp_test_support.h"
#include "platform/tick.h"

namespace {

using icmptest::EchoMessage;
using icmptest::Icmp4Error;
using icmptest::Icmp6Error;
using icmptest::Ipv4Datagram;

std::atomic<uint32_t> g_fakeTick{100000};
uint32_t FakeTick() {
    return g_fakeTick.load();
}

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEcho6Request = 128;
constexpr uint8_t kEcho6Reply = 129;

// Sequence numbers of this process. Replies that other processes receive on the loopback
// device reach this process's raw sockets too when its engine runs (the whole test program
// in one process), so the hosts here wait for numbers no other process uses. Seq(258) is
// the first; the literal keeps the cases readable.
const uint16_t g_seqBase = static_cast<uint16_t>(20000 + getpid() % 40000);
uint16_t Seq(int n) {
    return static_cast<uint16_t>(g_seqBase + (n - 258));
}

// A table with hosts that each wait for the answer to request Seq(258), sent at the fake
// tick, time-out 2,000 ms. They have the test datagrams' addresses, 127.0.0.1 and ::1.
class IcmpParseTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetTickSource(FakeTick);
        g_fakeTick = 100000;
        DestroyHostList();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pHostList->notify_wnd = &m_target;
        AddHosts(4);
    }
    void TearDown() override {
        DestroyHostList();
        SetTickSource(nullptr);
    }

    void AddHosts(int n) {
        for (int i = 0; i < n; ++i) {
            CHostItem* host = AddHost(0);
            ASSERT_NE(host, nullptr);
            host->pending_tick = g_fakeTick.load();
            host->sent_tick = g_fakeTick.load();
            host->seq = Seq(258);
            Address(host);
            PublishHost(host);
        }
    }

    CHostItem* Host(uint32_t index) { return g_pHostList->Host(index); }
    static void Address(CHostItem* host) {
        host->StoreAddr4(htonl(INADDR_LOOPBACK));
        host->target6 = sockaddr_in6{AF_INET6, 0, 0, in6addr_loopback, 0};
        host->SetSentTo(reinterpret_cast<const sockaddr*>(&*host->target6));
        host->sent_to4 = htonl(INADDR_LOOPBACK);
    }

    static std::vector<uint8_t> ReplyV4(uint32_t index, uint16_t seq, uint8_t ttl = 57) {
        return Ipv4Datagram(EchoMessage(kEchoReply, EchoIdFromIndex(index), seq), ttl);
    }
    static std::vector<uint8_t> ErrorV4(uint8_t type, uint8_t code, uint32_t index, uint16_t seq) {
        return Ipv4Datagram(
            Icmp4Error(type, code, EchoMessage(kEchoRequest, EchoIdFromIndex(index), seq)));
    }
    static std::vector<uint8_t> ReplyV6(uint32_t index, uint16_t seq) {
        return EchoMessage(kEcho6Reply, EchoIdFromIndex(index), seq);
    }
    static std::vector<uint8_t> ErrorV6(uint8_t type, uint8_t code, uint32_t index, uint16_t seq) {
        return Icmp6Error(type, code, EchoMessage(kEcho6Request, EchoIdFromIndex(index), seq));
    }

    static int V4(const std::vector<uint8_t>& d) {
        return ParseIcmpV4(d.data(), static_cast<uint32_t>(d.size()));
    }
    static int V6(const std::vector<uint8_t>& d) {
        return ParseIcmpV6(d.data(), static_cast<uint32_t>(d.size()), in6addr_loopback);
    }

    icmptest::RecordingTarget m_target;
};

TEST_F(IcmpParseTest, EchoReplyIsRecordedAndReported) {
    g_fakeTick = 100040;
    EXPECT_EQ(V4(ReplyV4(2, Seq(258), 57)), 0);
    CHostItem* host = Host(2);
    EXPECT_EQ(host->seq.load(), Seq(259));
    EXPECT_EQ(host->result.load(), PING_RESULT_REPLY);
    EXPECT_EQ(host->recv_count.load(), 1u);
    EXPECT_EQ(host->ttl.load(), 57);
    EXPECT_EQ(host->up.load(), 1);
    EXPECT_EQ(host->run_count.load(), 0u);
    EXPECT_EQ(host->answer_tick.load(), 100040u);
    auto messages = m_target.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].msg, WM_PING_REPLY);
    EXPECT_EQ(messages[0].wParam, 2u);
    EXPECT_EQ(messages[0].lParam, Seq(258));

    // The next answer of a host that is up lengthens its run.
    host->pending_tick = g_fakeTick.load();
    EXPECT_EQ(V4(ReplyV4(2, Seq(259), 58)), 0);
    EXPECT_EQ(host->recv_count.load(), 2u);
    EXPECT_EQ(host->run_count.load(), 1u);
    EXPECT_EQ(host->ttl.load(), 58);
    EXPECT_TRUE(m_target.HasReply(2, Seq(259)));
    // Other hosts are untouched.
    EXPECT_EQ(Host(1)->seq.load(), Seq(258));
    EXPECT_EQ(Host(3)->recv_count.load(), 0u);
}

TEST_F(IcmpParseTest, BurstReachesTheWindowAsOneBatchInOrderWithItsArrivalTicks) {
    g_fakeTick = 100050;
    {
        IcmpParseBatch batch;
        auto first = ReplyV4(2, Seq(258));
        auto second = ErrorV4(3, 1, 0, Seq(258));
        auto third = ReplyV4(1, Seq(258));
        EXPECT_EQ(batch.V4(first.data(), static_cast<uint32_t>(first.size()), 100010), 0);
        EXPECT_EQ(batch.V4(second.data(), static_cast<uint32_t>(second.size()), 100020), 0);
        EXPECT_EQ(batch.V4(third.data(), static_cast<uint32_t>(third.size()), 100030), 0);
        EXPECT_EQ(m_target.Count(), 0u) << "nothing is handed over before the burst ends";
        EXPECT_EQ(Host(2)->answer_tick.load(), 100010u) << "the record is written at once";
    }
    EXPECT_EQ(m_target.Batches(), 1u);
    auto messages = m_target.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].wParam, 2u);
    EXPECT_EQ(messages[1].wParam, 0u);
    EXPECT_EQ(messages[2].wParam, 1u);
    EXPECT_EQ(Host(0)->answer_tick.load(), 100020u);
    EXPECT_EQ(Host(0)->result.load(), 3u);
    EXPECT_EQ(Host(1)->answer_tick.load(), 100030u);
}

TEST_F(IcmpParseTest, IPv4HeaderWithOptionsIsSkipped) {
    auto d = Ipv4Datagram(EchoMessage(kEchoReply, EchoIdFromIndex(0), Seq(258)), 33, 7);
    EXPECT_EQ(V4(d), 0);
    EXPECT_EQ(Host(0)->recv_count.load(), 1u);
    EXPECT_EQ(Host(0)->ttl.load(), 33);
}

TEST_F(IcmpParseTest, SequenceMismatchChangesNothing) {
    for (uint16_t seq : {Seq(257), Seq(259), uint16_t{0}, uint16_t{65535}}) {
        EXPECT_EQ(V4(ReplyV4(1, seq)), 0);
        EXPECT_EQ(V6(ReplyV6(1, seq)), 0);
        EXPECT_EQ(V4(ErrorV4(3, 1, 1, seq)), 0);
        EXPECT_EQ(V6(ErrorV6(1, 0, 1, seq)), 0);
    }
    CHostItem* host = Host(1);
    EXPECT_EQ(host->seq.load(), Seq(258));
    EXPECT_EQ(host->result.load(), 0);
    EXPECT_EQ(host->recv_count.load(), 0u);
    EXPECT_EQ(host->answer_tick.load(), 0u);
    EXPECT_EQ(m_target.Count(), 0u);
}

TEST_F(IcmpParseTest, LateReplyOnlyAdvancesTheSequence) {
    CHostItem* host = Host(0);
    // Exactly at the deadline is late.
    g_fakeTick = 100000 + 2000;
    EXPECT_EQ(V4(ReplyV4(0, Seq(258))), 0);
    EXPECT_EQ(host->seq.load(), Seq(259));
    EXPECT_EQ(host->recv_count.load(), 0u);
    EXPECT_EQ(host->result.load(), 0);
    EXPECT_EQ(host->up.load(), 0);
    EXPECT_EQ(host->answer_tick.load(), 0u);
    EXPECT_EQ(m_target.Count(), 0u);

    // After the send cycle reported the time-out (pending_tick cleared), on IPv6 too.
    host->pending_tick = 0;
    g_fakeTick = 100010;
    EXPECT_EQ(V6(ReplyV6(0, Seq(259))), 0);
    EXPECT_EQ(host->seq.load(), Seq(260));
    EXPECT_EQ(host->recv_count.load(), 0u);
    EXPECT_EQ(m_target.Count(), 0u);

    // One millisecond before the deadline is in time.
    host->pending_tick = 100010;
    g_fakeTick = 100010 + 1999;
    EXPECT_EQ(V4(ReplyV4(0, Seq(260))), 0);
    EXPECT_EQ(host->recv_count.load(), 1u);
    EXPECT_TRUE(m_target.HasReply(0, Seq(260)));
}

TEST_F(IcmpParseTest, DeadlineIsComparedAcrossTheTickWrap) {
    CHostItem* host = Host(3);
    host->pending_tick = 0xFFFFFF00u;
    g_fakeTick = 0x100;  // 512 ms later, after the wrap
    EXPECT_EQ(V4(ReplyV4(3, Seq(258))), 0);
    EXPECT_EQ(host->recv_count.load(), 1u);
    EXPECT_EQ(host->answer_tick.load(), 0x100u);

    // Sent just before the wrap, answered before it: the summed deadline would wrap to a
    // small number and call this prompt reply late.
    CHostItem* other = Host(2);
    other->pending_tick = 0xFFFFFF00u;
    g_fakeTick = 0xFFFFFF10u;
    EXPECT_EQ(V4(ReplyV4(2, Seq(258))), 0);
    EXPECT_EQ(other->recv_count.load(), 1u);
}

TEST_F(IcmpParseTest, IPv4ErrorsQuotingOurRequestMarkTheHostDown) {
    CHostItem* host = Host(1);
    host->up = 1;
    host->run_count = 7;
    host->ttl = 61;
    host->recv_count = 5;
    g_fakeTick = 100020;
    EXPECT_EQ(V4(ErrorV4(3, 1, 1, Seq(258))), 0);
    EXPECT_EQ(host->result.load(), 3);
    EXPECT_EQ(host->icmp_code.load(), 1);
    EXPECT_EQ(host->up.load(), 0);
    EXPECT_EQ(host->run_count.load(), 0u);
    EXPECT_EQ(host->seq.load(), Seq(259));
    EXPECT_EQ(host->answer_tick.load(), 100020u);
    EXPECT_EQ(host->recv_count.load(), 5u);
    EXPECT_EQ(host->ttl.load(), 61);
    EXPECT_TRUE(m_target.HasReply(1, Seq(258)));

    // Time exceeded on the next request: the host stays down, the run grows. Errors are
    // never late.
    g_fakeTick = 100000 + 50000;
    EXPECT_EQ(V4(ErrorV4(11, 0, 1, Seq(259))), 0);
    EXPECT_EQ(host->result.load(), 11);
    EXPECT_EQ(host->icmp_code.load(), 0);
    EXPECT_EQ(host->run_count.load(), 1u);
    EXPECT_TRUE(m_target.HasReply(1, Seq(259)));

    // A quoted header with options.
    auto withOptions =
        Ipv4Datagram(Icmp4Error(12, 2, EchoMessage(kEchoRequest, EchoIdFromIndex(1), Seq(260)), 6));
    EXPECT_EQ(V4(withOptions), 0);
    EXPECT_EQ(host->result.load(), 12);
    EXPECT_EQ(host->run_count.load(), 2u);
    EXPECT_EQ(m_target.Count(), 3u);
}

TEST_F(IcmpParseTest, ErrorsNotQuotingAnEchoRequestAreDropped) {
    // Quoting an echo reply, or a UDP datagram that happens to carry our identifier.
    auto quotesReply =
        Ipv4Datagram(Icmp4Error(3, 3, EchoMessage(kEchoReply, EchoIdFromIndex(0), Seq(258))));
    EXPECT_EQ(V4(quotesReply), 0);
    auto udp = EchoMessage(17, EchoIdFromIndex(0), Seq(258));
    EXPECT_EQ(V4(Ipv4Datagram(Icmp4Error(3, 3, udp))), 0);
    // Type 19 and above are not errors.
    EXPECT_EQ(V4(ErrorV4(19, 0, 0, Seq(258))), 0);
    EXPECT_EQ(V4(ErrorV4(40, 0, 0, Seq(258))), 0);
    // ICMPv6 types above 4 are not errors, and the quoted message must be a request.
    EXPECT_EQ(V6(ErrorV6(5, 0, 0, Seq(258))), 0);
    EXPECT_EQ(V6(Icmp6Error(1, 0, EchoMessage(kEcho6Reply, EchoIdFromIndex(0), Seq(258)))), 0);
    EXPECT_EQ(Host(0)->seq.load(), Seq(258));
    EXPECT_EQ(Host(0)->result.load(), 0);
    EXPECT_EQ(m_target.Count(), 0u);
}

TEST_F(IcmpParseTest, OurOwnEchoRequestsSeenOnLoopbackAreDropped) {
    // A raw socket sees the requests we send to 127.0.0.1 and ::1 as well.
    for (size_t payload : {0u, 32u, 33u, 1000u}) {
        EXPECT_EQ(
            V4(Ipv4Datagram(EchoMessage(kEchoRequest, EchoIdFromIndex(0), Seq(258), payload))), 0);
        EXPECT_EQ(V6(EchoMessage(kEcho6Request, EchoIdFromIndex(0), Seq(258), payload)), 0);
    }
    EXPECT_EQ(Host(0)->seq.load(), Seq(258));
    EXPECT_EQ(Host(0)->result.load(), 0);
    EXPECT_EQ(m_target.Count(), 0u);
}

TEST_F(IcmpParseTest, IPv6ReplyWithoutAHopLimitRecordsTtl128AndErrorsQuoteAt48) {
    CHostItem* host = Host(2);
    EXPECT_EQ(V6(ReplyV6(2, Seq(258))), 0);
    EXPECT_EQ(host->ttl.load(), 128);
    EXPECT_EQ(host->result.load(), PING_RESULT_REPLY);
    EXPECT_EQ(host->up.load(), 1);
    EXPECT_TRUE(m_target.HasReply(2, Seq(258)));

    EXPECT_EQ(V6(ErrorV6(1, 3, 2, Seq(259))), 0);  // address unreachable
    EXPECT_EQ(host->result.load(), 1);
    EXPECT_EQ(host->icmp_code.load(), 3);
    EXPECT_EQ(host->up.load(), 0);
    EXPECT_EQ(host->run_count.load(), 0u);
    EXPECT_EQ(host->ttl.load(), 128);
    EXPECT_EQ(host->recv_count.load(), 1u);
    EXPECT_TRUE(m_target.HasReply(2, Seq(259)));

    EXPECT_EQ(V6(ErrorV6(3, 0, 2, Seq(260))), 0);  // hop limit exceeded
    EXPECT_EQ(host->result.load(), 3);
    EXPECT_EQ(host->run_count.load(), 1u);
    EXPECT_EQ(host->seq.load(), Seq(261));

    // Type 0 counts as an error as well (it is below 5).
    EXPECT_EQ(V6(ErrorV6(0, 9, 2, Seq(261))), 0);
    EXPECT_EQ(host->result.load(), 0);
    EXPECT_EQ(host->icmp_code.load(), 9);
    EXPECT_EQ(m_target.Count(), 4u);
}

TEST_F(IcmpParseTest, AnswersCountOnlyFromOrAboutTheAddressTheRequestWentTo) {
    auto reply = ReplyV4(0, Seq(258));
    reply[15] = 2;  // from 127.0.0.2
    auto error = ErrorV4(3, 1, 0, Seq(258));
    error[20 + 8 + 19] = 2;  // quoting a request to 127.0.0.2
    EXPECT_EQ(V4(reply) + V4(error), 0);
    EXPECT_EQ(m_target.Count(), 0u);
    // From ::1, with the hop limit the kernel gave.
    auto reply6 = ReplyV6(0, Seq(258));
    ParseIcmpV6(reply6.data(), static_cast<uint32_t>(reply6.size()), in6addr_loopback, 77);
    EXPECT_EQ(Host(0)->ttl.load(), 77);
    EXPECT_TRUE(m_target.HasReply(0, Seq(258)));
}

TEST_F(IcmpParseTest, IdentifierAtOrBeyondCountIsDropped) {
    // Identifiers of indexes 4 (= count), 5 and 65,535 (identifier 1,024).
    for (uint32_t index : {4u, 5u, 65535u}) {
        EXPECT_EQ(V4(ReplyV4(index, Seq(258))), 0);
        EXPECT_EQ(V6(ReplyV6(index, Seq(258))), 0);
        EXPECT_EQ(V4(ErrorV4(3, 0, index, Seq(258))), 0);
        EXPECT_EQ(V6(ErrorV6(1, 0, index, Seq(258))), 0);
    }
    EXPECT_EQ(m_target.Count(), 0u);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(Host(i)->seq.load(), Seq(258)) << i;
}

TEST_F(IcmpParseTest, IdentifierWrapMatchesTheHighestIndexes) {
    AddHosts(kMaxHosts - 4);
    ASSERT_EQ(g_pHostList->count.load(), kMaxHosts);
    // 64,600 answers with identifier 89, 65,534 with 1,023, 64,511 with 0.
    EXPECT_EQ(V4(Ipv4Datagram(EchoMessage(kEchoReply, 89, Seq(258)))), 0);
    EXPECT_EQ(V6(EchoMessage(kEcho6Reply, 89, Seq(259))), 0);
    EXPECT_EQ(V4(Ipv4Datagram(EchoMessage(kEchoReply, 1023, Seq(258)))), 0);
    EXPECT_EQ(V6(EchoMessage(kEcho6Reply, 1023, Seq(259))), 0);
    EXPECT_EQ(V4(Ipv4Datagram(Icmp4Error(11, 0, EchoMessage(kEchoRequest, 0, Seq(258))))), 0);
    EXPECT_EQ(V6(Icmp6Error(3, 0, EchoMessage(kEcho6Request, 0, Seq(259)))), 0);
    EXPECT_EQ(Host(64600)->recv_count.load(), 2u);
    EXPECT_EQ(Host(65534)->recv_count.load(), 2u);
    EXPECT_EQ(Host(64511)->result.load(), 3);
    EXPECT_EQ(Host(64511)->seq.load(), Seq(260));
    EXPECT_TRUE(m_target.HasReply(64600, Seq(258)));
    EXPECT_TRUE(m_target.HasReply(64600, Seq(259)));
    EXPECT_TRUE(m_target.HasReply(65534, Seq(259)));
    EXPECT_TRUE(m_target.HasReply(64511, Seq(259)));
    EXPECT_EQ(m_target.Count(), 6u);
}

TEST_F(IcmpParseTest, WithoutATableOrWindowNothingBreaks) {
    g_pHostList->notify_wnd = nullptr;
    EXPECT_EQ(V4(ReplyV4(0, Seq(258))), 0);
    EXPECT_EQ(Host(0)->recv_count.load(), 1u);
    DestroyHostList();
    EXPECT_EQ(V4(ReplyV4(0, Seq(259))), 0);
    EXPECT_EQ(V6(ErrorV6(1, 0, 0, Seq(258))), 0);
    EXPECT_EQ(m_target.Count(), 0u);
}

// Parses an exact-size heap copy of the first `length` bytes, so that a read past the end
// is caught by the sanitizer build.
int ParsePrefix(bool v6, const std::vector<uint8_t>& d, size_t length) {
    std::vector<uint8_t> copy(d.begin(), d.begin() + static_cast<long>(length));
    const uint8_t* p = copy.empty() ? nullptr : copy.data();
    uint8_t dummy = 0;
    if (p == nullptr)
        p = &dummy;
    return v6 ? ParseIcmpV6(p, static_cast<uint32_t>(length), in6addr_loopback)
              : ParseIcmpV4(p, static_cast<uint32_t>(length));
}

TEST_F(IcmpParseTest, EveryTruncationIsDroppedUntilTheNeededBytesAreThere) {
    struct Case {
        bool v6;
        std::vector<uint8_t> datagram;
        size_t needed;  // shortest length that still matches
    };
    const std::vector<Case> cases = {
        {false, ReplyV4(0, Seq(258)), 20 + 8},
        {false, ErrorV4(3, 1, 0, Seq(258)), 20 + 8 + 20 + 8},
        {true, ReplyV6(0, Seq(258)), 8},
        {true, ErrorV6(1, 0, 0, Seq(258)), 8 + 40 + 8},
    };
    for (const Case& c : cases) {
        for (size_t length = 0; length <= c.datagram.size(); ++length) {
            CHostItem* host = Host(0);
            host->seq = Seq(258);
            host->pending_tick = g_fakeTick.load();
            m_target.Clear();
            int result = ParsePrefix(c.v6, c.datagram, length);
            bool matched = m_target.Count() == 1;
            EXPECT_EQ(matched, length >= c.needed) << "v6=" << c.v6 << " length " << length;
            EXPECT_EQ(host->seq.load(), matched ? Seq(259) : Seq(258)) << length;
            if (c.v6) {
                EXPECT_EQ(result, length < 8 ? -1 : 0) << length;
            }
        }
    }
}

TEST_F(IcmpParseTest, HeaderLengthsPointingPastTheEndAreDropped) {
    // Outer header length 60 bytes in a 36-byte datagram.
    auto reply = ReplyV4(0, Seq(258));
    reply[0] = 0x4F;
    EXPECT_EQ(V4(reply), -1);
    // A header length below 20 bytes is no IPv4 header.
    auto tiny = ReplyV4(0, Seq(258));
    tiny[0] = 0x41;
    EXPECT_EQ(V4(tiny), 0);
    // Quoted header length 60 bytes, but only 28 quoted bytes follow.
    auto error = ErrorV4(3, 1, 0, Seq(258));
    error[20 + 8] = 0x4F;
    EXPECT_EQ(V4(error), 0);
    EXPECT_EQ(Host(0)->seq.load(), Seq(258));
    EXPECT_EQ(m_target.Count(), 0u);
}

TEST_F(IcmpParseTest, RandomAndMutatedDatagramsNeverCorruptARecord) {
    std::mt19937 random(20261208);
    std::vector<uint8_t> d;
    size_t matched = 0;
    for (int round = 0; round < 200000; ++round) {
        bool v6 = round % 3 == 0;
        if (round % 2 == 0) {
            // Random bytes; most IPv4 ones get a plausible first byte so deeper paths run.
            d.assign(random() % 120, 0);
            for (auto& b : d)
                b = static_cast<uint8_t>(random());
            if (!d.empty() && !v6 && round % 4 == 0)
                d[0] = static_cast<uint8_t>(0x40 | (5 + random() % 11));
        } else {
            // A valid answer to a host's current request with a few bytes changed.
            uint32_t index = random() % 4;
            uint16_t seq = Host(index)->seq.load();
            bool error = (random() & 1) != 0;
            d = v6 ? (error ? ErrorV6(random() % 5, 0, index, seq) : ReplyV6(index, seq))
                   : (error ? ErrorV4(1 + random() % 18, 0, index, seq) : ReplyV4(index, seq));
            for (uint32_t flips = random() % 3; flips > 0; --flips)
                d[random() % d.size()] = static_cast<uint8_t>(random());
            if (random() % 4 == 0)
                d.resize(random() % d.size());
        }
        size_t before = m_target.Count();
        ParsePrefix(v6, d, d.size());
        matched += m_target.Count() - before;
    }
    EXPECT_GT(matched, 1000u);
    // Every report names a host of the table, and every host advanced its sequence exactly
    // once per report (no late replies here: the tick does not move).
    uint32_t advanced = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        CHostItem* host = Host(i);
        advanced += static_cast<uint16_t>(host->seq.load() - Seq(258));
        uint16_t result = host->result.load();
        EXPECT_TRUE(result == PING_RESULT_REPLY || result <= 18) << result;
        EXPECT_LE(host->run_count.load(), matched);
    }
    EXPECT_EQ(advanced, matched);
    for (const auto& m : m_target.Messages()) {
        EXPECT_EQ(m.msg, WM_PING_REPLY);
        EXPECT_LT(m.wParam, 4u);
    }
}

// Records are destroyed and re-created while the parser matches replies for them: the
// lifetime lock must keep every record alive while the parser touches it (the sanitizer
// build turns a violation into a failure).
TEST_F(IcmpParseTest, ClearAndAddWhileRepliesArrive) {
    constexpr uint32_t kHosts = 50;
    ClearHostList(0);
    SetTickSource(nullptr);
    auto refill = [] {
        for (uint32_t i = 0; i < kHosts; ++i) {
            CHostItem* host = AddHost(0);
            ASSERT_NE(host, nullptr);
            host->timeout = 600000;
            host->pending_tick = GetTick();
            Address(host);
            PublishHost(host);
        }
    };
    refill();
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> parsed{0};
    std::thread feeder([&] {
        uint32_t index = 0;
        while (!stop.load()) {
            index = (index + 1) % kHosts;
            uint16_t seq = 0;
            {
                std::shared_lock lock(g_pHostList->lifetime);
                CHostItem* host = g_pHostList->Host(index);
                if (host == nullptr)
                    continue;
                seq = host->seq.load();
            }
            bool v6 = (index & 1) != 0;
            auto d = v6 ? ReplyV6(index, seq) : ReplyV4(index, seq);
            if (v6)
                V6(d);
            else
                V4(d);
            parsed.fetch_add(1);
        }
    });
    for (int round = 0; round < 300; ++round) {
        uint32_t seen = parsed.load();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return parsed.load() > seen + 20; }));
        ClearHostList(0);
        refill();
    }
    stop = true;
    feeder.join();
    EXPECT_GT(m_target.Count(), 0u);
    for (const auto& m : m_target.Messages())
        EXPECT_LT(m.wParam, kHosts);
}

}  // namespace
