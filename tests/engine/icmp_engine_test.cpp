#include "engine/icmp_engine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "engine/engine_messages.h"
#include "engine/host_list.h"
#include "engine/icmp_test_support.h"
#include "platform/completion_port.h"
#include "platform/message_box.h"
#include "platform/tick.h"

extern char** environ;

namespace {

constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEcho6Request = 128;
constexpr const char* kChildResultVariable = "VELMORA_ICMP_CHILD_RESULT";

class RecordingBoxes : public MessageBoxSink {
public:
    int Show(const std::string& caption, const std::string& text, unsigned flags) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.push_back({caption, text});
        m_flags.push_back(flags);
        return IDOK;
    }
    std::vector<std::pair<std::string, std::string>> Boxes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes;
    }
    std::vector<unsigned> Flags() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_flags;
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_boxes;
    std::vector<unsigned> m_flags;
};

// The engine runs once per process and outlives every test, so what it reaches lives as
// long: the recording target and the box sink are never freed.
icmptest::RecordingTarget* g_target = nullptr;
RecordingBoxes* g_boxes = nullptr;
bool g_engineStarted = false;
int g_startResult = 1;

void StartEngineOnce() {
    if (g_engineStarted)
        return;
    g_engineStarted = true;
    g_target = new icmptest::RecordingTarget;
    g_boxes = new RecordingBoxes;
    SetMessageBoxSink(g_boxes);
    g_startResult = StartIcmpEngine();
}

// Ends the receive thread of a process that started the engine: the orderly exit.
class EngineEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        if (!g_engineStarted || g_hRecvThread == nullptr)
            return;
        StopIcmpEngine();
        EXPECT_TRUE(WaitIcmpRecvThreadEnd(10000)) << "the receive thread ignored the stop packet";
    }
};
const auto* g_environment = ::testing::AddGlobalTestEnvironment(new EngineEnvironment);

// Sequence numbers of this process: other test processes ping the loopback addresses at
// the same time, and a raw socket sees their replies too.
uint16_t UniqueSequence(uint32_t n) {
    return static_cast<uint16_t>(1000 + (getpid() * 7919u + n * 13u) % 60000u);
}

class IcmpEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        VELMORA_REQUIRE_RAW_SOCKETS();
        SetTickSource(nullptr);
        StartEngineOnce();
        ASSERT_EQ(g_startResult, 0);
        DestroyHostList();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        {
            std::unique_lock lock(g_pHostList->lifetime);
            g_pHostList->notify_wnd = g_target;
        }
        g_target->Clear();
    }
    void TearDown() override { DestroyHostList(); }

    // A published host; `seq` picked so that no other process's traffic can match it.
    static CHostItem* AddV4(const char* address, uint32_t n) {
        CHostItem* host = AddHost(0);
        if (host == nullptr)
            return nullptr;
        in_addr a{};
        inet_pton(AF_INET, address, &a);
        host->StoreAddr4(a.s_addr);
        host->seq = UniqueSequence(n);
        PublishHost(host);
        return host;
    }
    static CHostItem* AddV6(const char* address, uint32_t n) {
        CHostItem* host = AddHost(0);
        if (host == nullptr)
            return nullptr;
        inet_pton(AF_INET6, address, &host->addr6.sin6_addr);
        host->ResolveIPv6(nullptr);
        host->seq = UniqueSequence(n);
        PublishHost(host);
        return host;
    }

    // Sends the host's current request as the send cycle would: the waiting state first,
    // then one datagram on `fd` (the engine's socket unless given).
    static bool Send(CHostItem* host, uint32_t index, size_t payload = 32, int fd = -1) {
        bool v6 = host->IsIPv6();
        auto message = icmptest::EchoMessage(v6 ? kEcho6Request : kEchoRequest,
                                             EchoIdFromIndex(index), host->seq.load(), payload);
        host->answer_tick = 0;
        uint32_t tick = GetTick();
        host->pending_tick = tick;
        host->sent_tick = tick;
        if (fd < 0)
            fd = v6 ? g_sockIcmp6 : g_sockIcmp4;
        ssize_t sent;
        if (v6) {
            if (!host->target6)
                return false;
            sockaddr_in6 to = *host->target6;
            host->SetSentTo(reinterpret_cast<const sockaddr*>(&to));
            sent = sendto(fd, message.data(), message.size(), 0,
                          reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        } else {
            host->SetSentTo(reinterpret_cast<const sockaddr*>(&host->addr4));
            sent = sendto(fd, message.data(), message.size(), 0,
                          reinterpret_cast<const sockaddr*>(&host->addr4), sizeof(host->addr4));
        }
        return sent == static_cast<ssize_t>(message.size());
    }

    static bool WaitReply(uint32_t index, uint16_t seq) {
        return testsupport::WaitUntil([&] { return g_target->HasReply(index, seq); });
    }
};

int IntOption(int fd, int level, int name) {
    int value = 0;
    socklen_t length = sizeof(value);
    if (getsockopt(fd, level, name, &value, &length) != 0)
        return -1;
    return value;
}

int ReadProcInt(const char* path) {
    std::ifstream in(path);
    int value = -1;
    in >> value;
    return value;
}

TEST_F(IcmpEngineTest, OpensBothRawSocketsWithTheirOptions) {
    EXPECT_TRUE(g_boxes->Boxes().empty());
    ASSERT_GE(g_sockIcmp4, 0);
    ASSERT_GE(g_sockIcmp6, 0);
    ASSERT_NE(g_hRecvThread, nullptr);
    ASSERT_NE(g_hIcmpPort, nullptr);
    EXPECT_EQ(IntOption(g_sockIcmp4, SOL_SOCKET, SO_TYPE), SOCK_RAW);
    EXPECT_EQ(IntOption(g_sockIcmp4, SOL_SOCKET, SO_PROTOCOL), IPPROTO_ICMP);
    EXPECT_EQ(IntOption(g_sockIcmp6, SOL_SOCKET, SO_PROTOCOL), IPPROTO_ICMPV6);
    EXPECT_EQ(IntOption(g_sockIcmp4, IPPROTO_IP, IP_TTL), 255);
    EXPECT_EQ(IntOption(g_sockIcmp6, IPPROTO_IPV6, IPV6_UNICAST_HOPS), 128);
    // 1 MB each way on both sockets, whatever net.core.[rw]mem_max says (the kernel
    // reports twice the size it was given).
    for (int fd : {g_sockIcmp4, g_sockIcmp6}) {
        EXPECT_GE(IntOption(fd, SOL_SOCKET, SO_RCVBUF), 1048576) << fd;
        EXPECT_GE(IntOption(fd, SOL_SOCKET, SO_SNDBUF), 1048576) << fd;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
    }
    // Bound to the any address.
    sockaddr_in6 bound{};
    socklen_t length = sizeof(bound);
    ASSERT_EQ(getsockname(g_sockIcmp6, reinterpret_cast<sockaddr*>(&bound), &length), 0);
    EXPECT_EQ(std::memcmp(&bound.sin6_addr, &in6addr_any, 16), 0);

    // Kernel filters: echo replies and the error types pass, our own echo requests
    // (which the IPv4 socket would otherwise see on the loopback device) do not.
    icmp_filter filter4{};
    socklen_t filterLength = sizeof(filter4);
    ASSERT_EQ(getsockopt(g_sockIcmp4, SOL_RAW, ICMP_FILTER, &filter4, &filterLength), 0);
    for (int type : {0, 3, 4, 5, 11, 12})
        EXPECT_EQ(filter4.data & (1u << type), 0u) << "type " << type << " blocked";
    for (int type : {8, 19, 31})
        EXPECT_NE(filter4.data & (1u << type), 0u) << "type " << type << " passes";
    icmp6_filter filter6{};
    filterLength = sizeof(filter6);
    ASSERT_EQ(getsockopt(g_sockIcmp6, IPPROTO_ICMPV6, ICMP6_FILTER, &filter6, &filterLength), 0);
    for (int type : {0, 1, 2, 3, 4, 129})
        EXPECT_TRUE(ICMP6_FILTER_WILLPASS(type, &filter6)) << "type " << type;
    for (int type : {5, 128, 133, 135})
        EXPECT_TRUE(ICMP6_FILTER_WILLBLOCK(type, &filter6)) << "type " << type;

    // A second start changes nothing.
    int fd4 = g_sockIcmp4;
    int fd6 = g_sockIcmp6;
    SuspendedThread* thread = g_hRecvThread;
    EXPECT_EQ(StartIcmpEngine(), 0);
    EXPECT_EQ(g_sockIcmp4, fd4);
    EXPECT_EQ(g_sockIcmp6, fd6);
    EXPECT_EQ(g_hRecvThread, thread);
    EXPECT_TRUE(g_boxes->Boxes().empty());
}

TEST_F(IcmpEngineTest, LoopbackRepliesAreMatchedToTheirHosts) {
    CHostItem* other = AddV4("127.0.0.1", 0);
    CHostItem* v4 = AddV4("127.0.0.1", 1);
    CHostItem* v6 = AddV6("::1", 2);
    ASSERT_TRUE(other && v4 && v6);
    ASSERT_TRUE(v6->target6.has_value());
    uint16_t seq4 = v4->seq.load();
    uint16_t seq6 = v6->seq.load();

    ASSERT_TRUE(Send(v4, 1));
    ASSERT_TRUE(Send(v6, 2));
    ASSERT_TRUE(WaitReply(1, seq4));
    ASSERT_TRUE(WaitReply(2, seq6));
    EXPECT_EQ(v4->result.load(), PING_RESULT_REPLY);
    EXPECT_EQ(v4->recv_count.load(), 1u);
    EXPECT_EQ(v4->up.load(), 1);
    EXPECT_EQ(v4->seq.load(), static_cast<uint16_t>(seq4 + 1));
    EXPECT_EQ(v4->ttl.load(), ReadProcInt("/proc/sys/net/ipv4/ip_default_ttl"));
    EXPECT_NE(v4->answer_tick.load(), 0u);
    EXPECT_EQ(v6->result.load(), PING_RESULT_REPLY);
    EXPECT_EQ(v6->ttl.load(), ReadProcInt("/proc/sys/net/ipv6/conf/lo/hop_limit"));
    EXPECT_EQ(v6->seq.load(), static_cast<uint16_t>(seq6 + 1));
    EXPECT_EQ(other->recv_count.load(), 0u);

    // Large payloads come back whole and match as well.
    ASSERT_TRUE(Send(v4, 1, 60000));
    ASSERT_TRUE(Send(v6, 2, 8000));
    ASSERT_TRUE(WaitReply(1, static_cast<uint16_t>(seq4 + 1)));
    ASSERT_TRUE(WaitReply(2, static_cast<uint16_t>(seq6 + 1)));
    EXPECT_EQ(v4->recv_count.load(), 2u);
    EXPECT_EQ(v4->run_count.load(), 1u);
    EXPECT_EQ(v6->recv_count.load(), 2u);
}

TEST_F(IcmpEngineTest, IdentifierWrapIsMatchedOnTheWire) {
    for (int i = 0; i < kMaxHosts; ++i) {
        CHostItem* host = AddHost(0);
        ASSERT_NE(host, nullptr);
        PublishHost(host);
    }
    // Indexes 64,511 (identifier 0), 64,600 (89) and 65,534 (1,023).
    CHostItem* a = g_pHostList->Host(64511);
    CHostItem* b = g_pHostList->Host(64600);
    CHostItem* c = g_pHostList->Host(65534);
    a->StoreAddr4(htonl(INADDR_LOOPBACK));
    b->StoreAddr4(htonl(INADDR_LOOPBACK));
    inet_pton(AF_INET6, "::1", &c->addr6.sin6_addr);
    c->ResolveIPv6(nullptr);
    a->seq = UniqueSequence(10);
    b->seq = UniqueSequence(11);
    c->seq = UniqueSequence(12);
    uint16_t seqA = a->seq, seqB = b->seq, seqC = c->seq;
    ASSERT_TRUE(Send(a, 64511));
    ASSERT_TRUE(Send(b, 64600));
    ASSERT_TRUE(Send(c, 65534));
    EXPECT_TRUE(WaitReply(64511, seqA));
    EXPECT_TRUE(WaitReply(64600, seqB));
    EXPECT_TRUE(WaitReply(65534, seqC));
    EXPECT_EQ(b->recv_count.load(), 1u);
    EXPECT_EQ(c->ttl.load(), ReadProcInt("/proc/sys/net/ipv6/conf/lo/hop_limit"));
    EXPECT_EQ(g_pHostList->Host(0)->recv_count.load(), 0u);
    EXPECT_EQ(g_pHostList->Host(89)->recv_count.load(), 0u);
}

TEST_F(IcmpEngineTest, MoreAnswersThanPostedReceivesAreAllMatched) {
    // Twice as many replies as receive slots arrive at once: every completed slot has to
    // be posted again for all of them to be seen.
    constexpr uint32_t kHosts = 2 * kRecvSlots;
    for (uint32_t i = 0; i < kHosts; ++i)
        ASSERT_NE(AddV4("127.0.0.1", 100 + i), nullptr);
    std::vector<uint16_t> seqs(kHosts);
    for (uint32_t i = 0; i < kHosts; ++i) {
        CHostItem* host = g_pHostList->Host(i);
        host->timeout = 60000;
        seqs[i] = host->seq;
        ASSERT_TRUE(Send(host, i));
    }
    bool all = testsupport::WaitUntil([&] {
        for (uint32_t i = 0; i < kHosts; ++i) {
            if (g_pHostList->Host(i)->recv_count.load() == 0)
                return false;
        }
        return true;
    });
    uint32_t answered = 0;
    for (uint32_t i = 0; i < kHosts; ++i)
        answered += g_pHostList->Host(i)->recv_count.load();
    EXPECT_TRUE(all) << answered << " of " << kHosts << " answered";
    EXPECT_EQ(answered, kHosts);
    EXPECT_TRUE(g_target->HasReply(kHosts - 1, seqs[kHosts - 1]));
}

TEST_F(IcmpEngineTest, EmptyPacketWithoutShutdownLeavesTheThreadWaiting) {
    ASSERT_EQ(g_bShutdown.load(), 0);
    ASSERT_TRUE(g_hIcmpPort->PostEmpty());
    ASSERT_TRUE(g_hIcmpPort->PostEmpty());
    CHostItem* host = AddV4("127.0.0.1", 20);
    ASSERT_NE(host, nullptr);
    uint16_t seq = host->seq;
    ASSERT_TRUE(Send(host, 0));
    EXPECT_TRUE(WaitReply(0, seq));
}

TEST_F(IcmpEngineTest, ForeignEchoTrafficChangesNoRecord) {
    CHostItem* host = AddV4("127.0.0.1", 30);
    CHostItem* v6 = AddV6("::1", 31);
    ASSERT_TRUE(host && v6);
    uint16_t seq = host->seq;
    uint16_t seq6 = v6->seq;
    host->pending_tick = GetTick();
    v6->pending_tick = GetTick();
    // Requests with an identifier of ours but another sequence, and with an identifier
    // past the table: the kernel answers them, and none of the replies may match.
    auto send = [](int fd, const void* to, socklen_t toLength, uint8_t type, uint32_t index,
                   uint16_t sequence) {
        auto m = icmptest::EchoMessage(type, EchoIdFromIndex(index), sequence);
        return sendto(fd, m.data(), m.size(), 0, static_cast<const sockaddr*>(to), toLength) ==
               static_cast<ssize_t>(m.size());
    };
    sockaddr_in to4 = host->addr4;
    sockaddr_in6 to6 = *v6->target6;
    ASSERT_TRUE(send(g_sockIcmp4, &to4, sizeof(to4), kEchoRequest, 0, seq + 1000));
    ASSERT_TRUE(send(g_sockIcmp4, &to4, sizeof(to4), kEchoRequest, 7, seq));
    ASSERT_TRUE(send(g_sockIcmp6, &to6, sizeof(to6), kEcho6Request, 1, seq6 - 1));
    ASSERT_TRUE(send(g_sockIcmp6, &to6, sizeof(to6), kEcho6Request, 9, seq6));
    // Then the real requests; their replies arrive after the foreign ones.
    ASSERT_TRUE(Send(host, 0));
    ASSERT_TRUE(Send(v6, 1));
    ASSERT_TRUE(WaitReply(0, seq));
    ASSERT_TRUE(WaitReply(1, seq6));
    EXPECT_EQ(host->recv_count.load(), 1u);
    EXPECT_EQ(v6->recv_count.load(), 1u);
    EXPECT_EQ(host->seq.load(), static_cast<uint16_t>(seq + 1));
    EXPECT_EQ(v6->seq.load(), static_cast<uint16_t>(seq6 + 1));
    EXPECT_EQ(g_target->Count(), 2u);
}

TEST_F(IcmpEngineTest, HostsClearedAndAddedWhileRepliesArrive) {
    // The receive thread matches real replies while this thread destroys and re-creates
    // the records they are for (the sanitizer builds catch a record used after its end).
    constexpr uint32_t kHosts = 40;
    std::atomic<uint32_t> generation{0};
    auto refill = [&] {
        uint32_t g = generation.fetch_add(1);
        for (uint32_t i = 0; i < kHosts; ++i) {
            CHostItem* host = AddHost(0);
            ASSERT_NE(host, nullptr);
            host->StoreAddr4(htonl(INADDR_LOOPBACK));
            host->sent_to4 = htonl(INADDR_LOOPBACK);  // where the sender thread sends
            host->seq = UniqueSequence(200 + g * kHosts + i);
            host->timeout = 600000;
            host->pending_tick = GetTick();
            PublishHost(host);
        }
    };
    refill();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (uint32_t i = 0; !stop.load(); i = (i + 1) % kHosts) {
            uint16_t seq = 0;
            {
                std::shared_lock lock(g_pHostList->lifetime);
                CHostItem* host = g_pHostList->Host(i);
                if (host == nullptr)
                    continue;
                seq = host->seq.load();
            }
            auto m = icmptest::EchoMessage(kEchoRequest, EchoIdFromIndex(i), seq);
            sendto(g_sockIcmp4, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof(to));
            if (i == kHosts - 1) {
                // One sweep at a time: the next starts once an answer of this one counted.
                size_t seen = g_target->Count();
                testsupport::WaitUntil([&] { return stop.load() || g_target->Count() != seen; },
                                       std::chrono::milliseconds(50));
            }
        }
    });
    for (int round = 0; round < 100; ++round) {
        size_t before = g_target->Count();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return g_target->Count() > before; }));
        ClearHostList(0);
        refill();
    }
    stop = true;
    sender.join();
    for (const auto& m : g_target->Messages()) {
        EXPECT_EQ(m.msg, WM_PING_REPLY);
        EXPECT_LT(m.wParam, kHosts);
    }
}

// ---------------------------------------------------------------------------------------
// A router in a network namespace answers with ICMP errors.
//
//   this namespace  vlm<pid>a ==veth== vlm<pid>b  router namespace vlm-r-<pid>
//   198.51.100.(4k+1)/30                198.51.100.(4k+2)/30, forwarding on
//   2001:db8:<k>:1::1/64                2001:db8:<k>:1::2/64
//
// Destinations routed to the router: 198.19.113.(2k+1) and 2001:db8:<k>:2::a have an
// "unreachable" route there (destination unreachable); 198.19.113.(2k+2) and
// 2001:db8:<k>:2::b are routed back, so a request with TTL 1 gets "time exceeded".
class RouterNamespace {
public:
    RouterNamespace() {
        unsigned pid = static_cast<unsigned>(getpid());
        unsigned k = pid % 60;
        m_ns = "vlm-r-" + std::to_string(pid);
        m_a = "vlm" + std::to_string(pid) + "a";
        m_b = "vlm" + std::to_string(pid) + "b";
        std::string local4 = "198.51.100." + std::to_string(4 * k + 1);
        std::string router4 = "198.51.100." + std::to_string(4 * k + 2);
        char prefix6[32];
        std::snprintf(prefix6, sizeof(prefix6), "2001:db8:%x", k + 1);
        std::string p6 = prefix6;
        unreachable4 = "198.19.113." + std::to_string(2 * k + 1);
        exceeded4 = "198.19.113." + std::to_string(2 * k + 2);
        unreachable6 = p6 + ":2::a";
        exceeded6 = p6 + ":2::b";
        std::string in = "ip netns exec " + m_ns + " ";
        const std::vector<std::string> steps = {
            "ip netns add " + m_ns,
            in + "sysctl -qw net.ipv4.ip_forward=1",
            in + "sysctl -qw net.ipv6.conf.all.forwarding=1",
            in + "sysctl -qw net.ipv6.conf.default.forwarding=1",
            in + "ip link set lo up",
            "ip link add " + m_a + " type veth peer name " + m_b,
            "ip link set " + m_b + " netns " + m_ns,
            "ip addr add " + local4 + "/30 dev " + m_a,
            "ip -6 addr add " + p6 + ":1::1/64 dev " + m_a + " nodad",
            "ip link set " + m_a + " up",
            in + "ip addr add " + router4 + "/30 dev " + m_b,
            in + "ip -6 addr add " + p6 + ":1::2/64 dev " + m_b + " nodad",
            in + "ip link set " + m_b + " up",
            in + "ip route add unreachable " + unreachable4 + "/32",
            in + "ip route add " + exceeded4 + "/32 via " + local4,
            in + "ip -6 route add unreachable " + unreachable6 + "/128",
            in + "ip -6 route add " + exceeded6 + "/128 via " + p6 + ":1::1",
            "ip route add " + unreachable4 + "/32 via " + router4 + " dev " + m_a,
            "ip route add " + exceeded4 + "/32 via " + router4 + " dev " + m_a,
            "ip -6 route add " + p6 + ":2::/64 via " + p6 + ":1::2 dev " + m_a,
        };
        for (const std::string& step : steps) {
            if (testsupport::RunShell(step + " >/dev/null 2>&1") != 0) {
                failed = step;
                return;
            }
        }
    }
    ~RouterNamespace() {
        // Deleting the namespace removes both veth ends and the routes over them.
        testsupport::RunShell("ip netns del " + m_ns + " >/dev/null 2>&1");
        testsupport::RunShell("ip link del " + m_a + " >/dev/null 2>&1");
    }

    std::string failed;  // the step that failed, empty when all went well
    std::string unreachable4, exceeded4, unreachable6, exceeded6;

private:
    std::string m_ns, m_a, m_b;
};

// A raw socket of the test's own that sends with TTL (hop limit) 1; the engine's sockets
// see the errors all the same.
int OpenTtlOneSocket(bool v6) {
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC,
                    v6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP));
    if (fd < 0)
        return -1;
    int one = 1;
    if (v6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &one, sizeof(one));
    else
        setsockopt(fd, IPPROTO_IP, IP_TTL, &one, sizeof(one));
    return fd;
}

TEST_F(IcmpEngineTest, ErrorsFromARouterAreMatchedToTheirHosts) {
    VELMORA_REQUIRE_ROOT();
    RouterNamespace router;
    ASSERT_TRUE(router.failed.empty()) << "could not build the test network: " << router.failed;

    CHostItem* unreach4 = AddV4(router.unreachable4.c_str(), 40);
    CHostItem* exceed4 = AddV4(router.exceeded4.c_str(), 41);
    CHostItem* unreach6 = AddV6(router.unreachable6.c_str(), 42);
    CHostItem* exceed6 = AddV6(router.exceeded6.c_str(), 43);
    ASSERT_TRUE(unreach4 && exceed4 && unreach6 && exceed6);
    for (CHostItem* host : {unreach4, exceed4, unreach6, exceed6})
        host->up = 1;  // as if it had answered before
    int ttlOne4 = OpenTtlOneSocket(false);
    int ttlOne6 = OpenTtlOneSocket(true);
    ASSERT_GE(ttlOne4, 0);
    ASSERT_GE(ttlOne6, 0);

    uint16_t seqs[4] = {unreach4->seq, exceed4->seq, unreach6->seq, exceed6->seq};
    EXPECT_TRUE(Send(unreach4, 0));
    EXPECT_TRUE(Send(exceed4, 1, 32, ttlOne4));
    EXPECT_TRUE(Send(unreach6, 2));
    EXPECT_TRUE(Send(exceed6, 3, 32, ttlOne6));
    close(ttlOne4);
    close(ttlOne6);

    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_TRUE(WaitReply(i, seqs[i])) << "no error matched to host " << i;
    // IPv4: host unreachable (3/1), time exceeded in transit (11/0); ICMPv6: no route to
    // destination (1/0), hop limit exceeded (3/0).
    EXPECT_EQ(unreach4->result.load(), 3);
    EXPECT_EQ(unreach4->icmp_code.load(), 1);
    EXPECT_EQ(exceed4->result.load(), 11);
    EXPECT_EQ(exceed4->icmp_code.load(), 0);
    EXPECT_EQ(unreach6->result.load(), 1);
    EXPECT_EQ(unreach6->icmp_code.load(), 0);
    EXPECT_EQ(exceed6->result.load(), 3);
    EXPECT_EQ(exceed6->icmp_code.load(), 0);
    uint32_t i = 0;
    for (CHostItem* host : {unreach4, exceed4, unreach6, exceed6}) {
        EXPECT_EQ(host->up.load(), 0) << i;
        EXPECT_EQ(host->run_count.load(), 0u) << i;
        EXPECT_EQ(host->recv_count.load(), 0u) << i;
        EXPECT_EQ(host->seq.load(), static_cast<uint16_t>(seqs[i] + 1)) << i;
        EXPECT_NE(host->answer_tick.load(), 0u) << i;
        ++i;
    }
}

// ---------------------------------------------------------------------------------------
// Start-up failures. The engine is process-wide, so each runs in a fresh copy of the test
// program that first takes away what the failure needs: the right to open raw sockets, or
// file descriptors.

constexpr const char* kChildModeVariable = "VELMORA_ICMP_CHILD_MODE";

// The next `n` descriptor numbers that open() would hand out.
std::vector<int> NextFreeDescriptors(int n) {
    std::vector<int> fds;
    for (int i = 0; i < n; ++i)
        fds.push_back(dup(0));
    for (int fd : fds)
        close(fd);
    return fds;
}

bool LimitDescriptorsBelow(int limit) {
    rlimit r{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    return setrlimit(RLIMIT_NOFILE, &r) == 0;
}

std::string SocketText(bool v6, int error) {
    return std::string(v6 ? "IPV6 Socket" : "Socket") + " is -1 Error code is " +
           std::to_string(error) +
           ", Velmora IPV6 should make a raw socket, Please run as administrator account";
}

TEST(IcmpEngineChild, DISABLED_StartWithMissingResources) {
    const char* resultFile = std::getenv(kChildResultVariable);
    const char* modeText = std::getenv(kChildModeVariable);
    if (resultFile == nullptr || modeText == nullptr)
        GTEST_SKIP() << "runs only as the child of the IcmpEngineStartFailure tests";
    const std::string mode = modeText;
    // Opened first: the modes below leave no descriptor free for it.
    std::ofstream out(resultFile);
    ASSERT_TRUE(out.good());

    using Boxes = std::vector<std::pair<std::string, std::string>>;
    Boxes expected;
    int expectedResult = 0;
    if (mode == "no-raw-rights") {
        ASSERT_EQ(setgroups(0, nullptr), 0);
        ASSERT_EQ(setgid(65534), 0);
        ASSERT_EQ(setuid(65534), 0);
        ASSERT_FALSE(testsupport::CanOpenRawSockets());
        // EPERM is 1; no box about binding a socket that did not open.
        expected = {{"", SocketText(false, EPERM)},
                    {"", SocketText(true, EPERM)},
                    {"Create socket port failed !", ""}};
        expectedResult = -2;
    } else if (mode == "no-port") {
        ASSERT_TRUE(LimitDescriptorsBelow(NextFreeDescriptors(1)[0]));
        expected = {{"Create port failed !", ""}};
        expectedResult = -3;
    } else if (mode == "no-ipv6-socket") {
        // Room for the port's two descriptors and the IPv4 socket only.
        ASSERT_TRUE(LimitDescriptorsBelow(NextFreeDescriptors(3)[2] + 1));
        expected = {{"", SocketText(true, EMFILE)}, {"Create ipv6 socket port failed !", ""}};
        expectedResult = -2;
    } else {
        FAIL() << "unknown mode " << mode;
    }

    RecordingBoxes boxes;
    SetMessageBoxSink(&boxes);
    EXPECT_EQ(StartIcmpEngine(), expectedResult);
    // Starting again neither retries nor repeats a box.
    EXPECT_EQ(StartIcmpEngine(), expectedResult);
    SetMessageBoxSink(nullptr);

    EXPECT_EQ(boxes.Boxes(), expected);
    for (unsigned flags : boxes.Flags())
        EXPECT_EQ(flags, MB_OK);
    // No receive thread, whatever failed; the IPv4 socket opened only in the last mode.
    EXPECT_EQ(g_hRecvThread, nullptr);
    EXPECT_EQ(g_sockIcmp6, -1);
    EXPECT_EQ(g_sockIcmp4 >= 0, mode == "no-ipv6-socket");
    EXPECT_EQ(g_hIcmpPort != nullptr, mode != "no-port");

    if (!::testing::Test::HasFailure())
        out << "passed" << std::endl;
}

// Runs the child test in a fresh process with `mode`; true when it ran and passed.
void RunStartFailureChild(const std::string& mode) {
    testsupport::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    std::string resultFile = dir.File("child-result");

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "VELMORA_ICMP_", 13) != 0)
            env.push_back(*e);
    }
    env.push_back(std::string(kChildResultVariable) + "=" + resultFile);
    env.push_back(std::string(kChildModeVariable) + "=" + mode);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=IcmpEngineChild.DISABLED_StartWithMissingResources";
    std::string disabled = "--gtest_also_run_disabled_tests";
    std::vector<char*> argv = {self.data(), filter.data(), disabled.data(), nullptr};

    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child crashed";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(resultFile);
    std::string word;
    in >> word;
    EXPECT_EQ(word, "passed") << "the child did not run its checks";
}

TEST(IcmpEngineStartFailure, WithoutRawSocketRightsShowsTheSocketBoxes) {
    VELMORA_REQUIRE_ROOT();
    RunStartFailureChild("no-raw-rights");
}

// The sanitizer runtimes need descriptors of their own to check a call, so a process
// without any left cannot run under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_WHEN_SANITIZED() \
    GTEST_SKIP() << "descriptor exhaustion also starves the sanitizer runtime"
#else
#define SKIP_WHEN_SANITIZED() \
    do {                      \
    } while (0)
#endif

TEST(IcmpEngineStartFailure, WithoutAPortShowsItsBox) {
    SKIP_WHEN_SANITIZED();
    RunStartFailureChild("no-port");
}

TEST(IcmpEngineStartFailure, WithoutTheIPv6SocketNothingIsPosted) {
    SKIP_WHEN_SANITIZED();
    VELMORA_REQUIRE_RAW_SOCKETS();
    RunStartFailureChild("no-ipv6-socket");
}

}  // namespace
