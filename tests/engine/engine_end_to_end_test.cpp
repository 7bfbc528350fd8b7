// The engine for real: raw sockets, the receive thread, the send thread and a stand-in for
// the host list view. Targets are loopback addresses, or test hosts in network namespaces
// that the tests build and remove.
//
// Every raw socket of the machine sees every ICMP message, and tests of other processes
// ping loopback at the same time; so the hosts here sit at table indexes of their own
// (behind suspended fillers), which gives their requests identifiers no other test uses.

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/test_support.h"
#include "engine/engine_messages.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "engine/icmp_engine.h"
#include "engine/icmp_test_support.h"
#include "engine/name_threads.h"
#include "engine/send_cycle.h"
#include "platform/message_target.h"
#include "platform/tick.h"

namespace {

using testsupport::WaitUntil;

// What the host list view does with the engine's messages, reduced to what the tests
// check. Runs on the test thread, which plays the user-interface thread.
class ViewStandIn {
public:
    struct Seen {
        uint32_t replies = 0;  // WM_PING_REPLY with an echo reply recorded
        uint32_t errors = 0;   // WM_PING_REPLY with an ICMP error recorded
        uint32_t timeouts = 0;
        uint32_t sendFailures = 0;
        uint16_t lastResult = 0;
        uint8_t lastCode = 0;
        std::vector<uint16_t> sequences;        // of the replies and errors
        uint32_t youngestTimeout = 0xFFFFFFFF;  // least age of a timed-out request, ms
    };

    explicit ViewStandIn(CHostList* table) : m_table(table) {}

    LRESULT Handle(uint32_t msg, WPARAM wParam, LPARAM lParam) {
        switch (msg) {
            case WM_CYCLE_BEGIN:
                return m_table->stopped.load() != 0 ? -1 : 0;
            case WM_CYCLE_END:
                return 0;
            case WM_PING_REPLY: {
                CHostItem* host = m_table->Host(static_cast<uint32_t>(wParam));
                if (host == nullptr)
                    return -1;
                Seen& seen = hosts[static_cast<uint32_t>(wParam)];
                const uint16_t result = host->result.load();
                if (result == PING_RESULT_REPLY)
                    ++seen.replies;
                else
                    ++seen.errors;
                seen.lastResult = result;
                seen.lastCode = host->icmp_code.load();
                seen.sequences.push_back(static_cast<uint16_t>(lParam));
                // Only while the answer still belongs to the pending request.
                if (host->answer_tick.load() != 0)
                    host->pending_tick.store(0);
                return 0;
            }
            case WM_PING_TIMEOUT: {
                Seen& seen = hosts[static_cast<uint32_t>(lParam)];
                ++seen.timeouts;
                // Measurable while the next request has not gone out yet.
                CHostItem* host = m_table->Host(static_cast<uint32_t>(lParam));
                if (host != nullptr && host->pending_tick.load() == 0) {
                    const uint32_t age = GetTick() - host->sent_tick.load();
                    if (age < seen.youngestTimeout)
                        seen.youngestTimeout = age;
                }
                return 0;
            }
            case WM_PING_SENDFAIL:
                ++hosts[static_cast<uint32_t>(lParam)].sendFailures;
                return 0;
            default:
                return 0;
        }
    }

    // Handles messages until `condition` holds or `timeout` passes.
    bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
        return WaitUntil(
            [&] {
                target.Pump(5);
                return condition();
            },
            timeout);
    }

    std::map<uint32_t, Seen> hosts;
    CHostList* m_table;
    QueueMessageTarget target{
        [this](uint32_t msg, WPARAM w, LPARAM l) { return Handle(msg, w, l); }};
};

bool EngineRunning() {
    static const bool running = [] {
        StartIcmpEngine();
        return g_sockIcmp4 >= 0 && g_sockIcmp6 >= 0 && g_hRecvThread != nullptr;
    }();
    return running;
}

class EngineEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        m_table = g_pHostList;
        m_view = std::make_unique<ViewStandIn>(m_table);
        m_table->notify_wnd = &m_view->target;
    }

    void TearDown() override {
        m_table->stopped.store(1);
        if (m_sender) {
            m_sender->Stop();
            m_sender->WaitForExit();
            m_sender.reset();
        }
        m_table->notify_wnd = nullptr;
        DestroyHostList();
    }

    // Suspended hosts up to `index`, so that the next host gets that index.
    void FillUpTo(uint32_t index) {
        while (m_table->count.load() < index) {
            CHostItem* filler = AddHost(0);
            ASSERT_NE(filler, nullptr);
            filler->StoreAddr4(inet_addr("127.0.0.1"));
            filler->advance.store(kAdvanceSuspended);
            PublishHost(filler);
        }
    }

    CHostItem* Add(const char* address, uint32_t interval, uint32_t timeout,
                   uint32_t packetsize = 32) {
        CHostItem* host = AddHost(0);
        EXPECT_NE(host, nullptr);
        in6_addr v6{};
        if (inet_pton(AF_INET6, address, &v6) == 1) {
            host->addr6.sin6_addr = v6;
            host->ResolveIPv6(address);
        } else {
            host->StoreAddr4(inet_addr(address));
        }
        host->interval.store(interval);
        host->timeout.store(timeout);
        host->packetsize.store(packetsize);
        PublishHost(host);
        return host;
    }

    void StartSending() {
        m_table->stopped.store(0);
        m_sender = std::make_unique<csendpingthread>();
        m_sender->SetPeriod(kMinSendPeriod);
        ASSERT_EQ(m_sender->Resume(), 1);
    }

    // Stops the service and lets every request still out be answered.
    bool StopAndDrain(uint32_t first, uint32_t end) {
        m_table->stopped.store(1);
        return m_view->PumpUntil(
            [&] {
                for (uint32_t i = first; i < end; ++i) {
                    CHostItem* host = m_table->Host(i);
                    if (host->pending_tick.load() != 0 && host->answer_tick.load() == 0)
                        return false;
                }
                return true;
            },
            std::chrono::seconds(10));
    }

    // What the hosts in [first, end) went through, for failure messages.
    std::string Summary(uint32_t first, uint32_t end) {
        uint64_t sent = 0, received = 0, timeouts = 0, failures = 0, errors = 0;
        uint32_t least = 0xFFFFFFFF, leastIndex = 0;
        for (uint32_t i = first; i < end; ++i) {
            CHostItem* host = m_table->Host(i);
            sent += host->sent_count.load();
            received += host->recv_count.load();
            if (host->recv_count.load() < least) {
                least = host->recv_count.load();
                leastIndex = i;
            }
            timeouts += m_view->hosts[i].timeouts;
            failures += m_view->hosts[i].sendFailures;
            errors += m_view->hosts[i].errors;
        }
        std::ostringstream text;
        text << "sent " << sent << ", received " << received << ", time-outs " << timeouts
             << ", send failures " << failures << ", errors " << errors << "; fewest answers "
             << least << " at index " << leastIndex;
        return text.str();
    }

    CHostList* m_table = nullptr;
    std::unique_ptr<ViewStandIn> m_view;
    std::unique_ptr<csendpingthread> m_sender;
};

// ---------------------------------------------------------------------------------------
// What leaves the machine, seen by a raw socket of the test's own.

class Capture {
public:
    explicit Capture(int family)
        : m_family(family),
          m_fd(socket(family, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      family == AF_INET ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6})) {
        int size = 8 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    }
    ~Capture() {
        if (m_fd >= 0)
            close(m_fd);
    }
    int fd() const { return m_fd; }

    // The ICMP messages read so far (IPv4 headers removed), with their peer addresses.
    struct Message {
        std::vector<uint8_t> icmp;
        std::string peer;
        std::string destination;  // IPv4 only
    };
    std::vector<Message> messages;

    void Drain() {
        std::vector<uint8_t> buffer(70000);
        for (;;) {
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            ssize_t n = recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n <= 0)
                return;
            Message m;
            char text[INET6_ADDRSTRLEN] = {};
            if (m_family == AF_INET) {
                size_t header = (buffer[0] & 0x0F) * 4u;
                if (static_cast<size_t>(n) < header)
                    continue;
                m.icmp.assign(buffer.begin() + header, buffer.begin() + n);
                inet_ntop(AF_INET, &buffer[12], text, sizeof text);
                m.peer = text;
                inet_ntop(AF_INET, &buffer[16], text, sizeof text);
                m.destination = text;
            } else {
                m.icmp.assign(buffer.begin(), buffer.begin() + n);
                inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&from)->sin6_addr, text,
                          sizeof text);
                m.peer = text;
            }
            messages.push_back(std::move(m));
        }
    }

    // The first message of `type` with identifier `id`, or nullptr.
    const Message* Find(uint8_t type, uint16_t id, int sequence = -1) const {
        for (const Message& m : messages) {
            if (m.icmp.size() >= 8 && m.icmp[0] == type && Le16(m.icmp, 4) == id &&
                (sequence < 0 || Le16(m.icmp, 6) == sequence))
                return &m;
        }
        return nullptr;
    }

    static uint16_t Le16(const std::vector<uint8_t>& bytes, size_t offset) {
        return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
    }

private:
    int m_family;
    int m_fd;
};

bool HasPattern(const std::vector<uint8_t>& icmp) {
    for (size_t i = 8; i < icmp.size(); ++i) {
        if (icmp[i] != 'a' + (i - 8) % 23)
            return false;
    }
    return true;
}

TEST_F(EngineEndToEndTest, RequestsOnTheWireHaveTheirSizesAndPatternAndAreAnswered) {
    VELMORA_REQUIRE_RAW_SOCKETS();
    ASSERT_TRUE(EngineRunning());
    Capture capture4(AF_INET);
    Capture capture6(AF_INET6);
    ASSERT_GE(capture4.fd(), 0);
    ASSERT_GE(capture6.fd(), 0);

    constexpr uint32_t kFirst = 12000;
    FillUpTo(kFirst);
    CHostItem* small = Add("127.91.0.1", 1000, 2000, 32);
    CHostItem* odd = Add("127.91.0.2", 1000, 2000, 33);
    CHostItem* large = Add("127.91.0.3", 1000, 2000, 65000);
    CHostItem* v6 = Add("::1", 1000, 2000, 33);
    ASSERT_TRUE(v6->target6.has_value());
    m_table->stopped.store(0);

    ASSERT_EQ(SendCycle(m_table, 0), 0);
    ASSERT_TRUE(m_view->PumpUntil(
        [&] {
            for (uint32_t i = kFirst; i < kFirst + 4; ++i) {
                if (m_view->hosts[i].replies == 0)
                    return false;
            }
            return true;
        },
        std::chrono::seconds(10)));

    for (CHostItem* host : {small, odd, large, v6}) {
        EXPECT_EQ(host->recv_count.load(), 1u);
        EXPECT_EQ(host->sent_count.load(), 1u);
        EXPECT_EQ(host->result.load(), PING_RESULT_REPLY);
        EXPECT_EQ(host->seq.load(), static_cast<uint16_t>(m_table->first_seq + 1));
    }
    EXPECT_EQ(v6->ttl.load(), 64);  // the hop limit of loopback
    EXPECT_EQ(small->ttl.load(), 64);

    capture4.Drain();
    capture6.Drain();
    const struct {
        uint32_t index;
        const char* destination;
        size_t length;
    } expected[] = {{kFirst, "127.91.0.1", 40},
                    {kFirst + 1, "127.91.0.2", 41},
                    {kFirst + 2, "127.91.0.3", 65008}};
    const uint16_t first = m_table->first_seq;
    for (const auto& e : expected) {
        const Capture::Message* request = capture4.Find(8, EchoIdFromIndex(e.index), first);
        ASSERT_NE(request, nullptr) << e.destination;
        EXPECT_EQ(request->destination, e.destination);
        EXPECT_EQ(request->icmp.size(), e.length);
        EXPECT_EQ(request->icmp[1], 0);
        EXPECT_EQ(InternetChecksum(request->icmp.data(), request->icmp.size()), 0);
        EXPECT_TRUE(HasPattern(request->icmp)) << e.destination;
        // The kernel accepted the request: its reply carries the same payload back.
        const Capture::Message* reply = capture4.Find(0, EchoIdFromIndex(e.index), first);
        ASSERT_NE(reply, nullptr) << e.destination;
        EXPECT_EQ(reply->icmp.size(), e.length);
    }
    const Capture::Message* request6 = capture6.Find(128, EchoIdFromIndex(kFirst + 3), first);
    ASSERT_NE(request6, nullptr);
    EXPECT_EQ(request6->icmp.size(), 41u);
    EXPECT_TRUE(HasPattern(request6->icmp));
}

TEST_F(EngineEndToEndTest, LoopbackDropsARequestWhoseChecksumIsWrong) {
    // Shows that real replies prove a right checksum: the kernel checks it.
    VELMORA_REQUIRE_RAW_SOCKETS();
    Capture capture(AF_INET);
    ASSERT_GE(capture.fd(), 0);
    constexpr uint16_t kId = 0xBEEF;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr("127.91.0.9");
    for (uint16_t sequence : {1, 2}) {
        uint8_t request[40] = {8, 0, 0, 0, kId & 0xFF, kId >> 8, static_cast<uint8_t>(sequence), 0};
        for (int i = 0; i < 32; ++i)
            request[8 + i] = static_cast<uint8_t>('a' + i % 23);
        uint16_t sum = InternetChecksum(request, sizeof request);
        if (sequence == 1)
            sum ^= 0x0100;
        std::memcpy(request + 2, &sum, 2);
        ASSERT_EQ(sendto(capture.fd(), request, sizeof request, 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  40);
    }
    // Loopback handles the two in order: once the second is answered, the first had its
    // chance.
    ASSERT_TRUE(WaitUntil([&] {
        capture.Drain();
        return capture.Find(0, kId, 2) != nullptr;
    }));
    EXPECT_EQ(capture.Find(0, kId, 1), nullptr);
}

TEST_F(EngineEndToEndTest, ThousandLoopbackHostsAtOneHundredMillisecondsAreAllAnswered) {
    VELMORA_REQUIRE_RAW_SOCKETS();
    ASSERT_TRUE(EngineRunning());
    constexpr uint32_t kFirst = 14000;
    constexpr uint32_t kHosts = 1000;
    FillUpTo(kFirst);
    for (uint32_t i = 0; i < kHosts; ++i) {
        std::string address =
            "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250);
        Add(address.c_str(), 100, 2000);
    }
    Add("::1", 100, 2000);
    const uint32_t end = kFirst + kHosts + 1;

    StartSending();
    // About three seconds of traffic: every host answered at least 25 times.
    ASSERT_TRUE(m_view->PumpUntil(
        [&] {
            for (uint32_t i = kFirst; i < end; ++i) {
                if (m_table->Host(i)->recv_count.load() < 25)
                    return false;
            }
            return true;
        },
        std::chrono::seconds(60)))
        << Summary(kFirst, end);
    ASSERT_TRUE(StopAndDrain(kFirst, end));
    m_sender->Stop();
    EXPECT_EQ(m_sender->WaitForExit(), 1);
    m_view->target.Pump(0);

    uint64_t sent = 0;
    for (uint32_t i = kFirst; i < end; ++i) {
        CHostItem* host = m_table->Host(i);
        const ViewStandIn::Seen& seen = m_view->hosts[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(seen.timeouts, 0u);
        EXPECT_EQ(seen.sendFailures, 0u);
        EXPECT_EQ(seen.errors, 0u);
        // sent = received + lost, with nothing lost.
        EXPECT_EQ(host->sent_count.load(), host->recv_count.load());
        EXPECT_EQ(seen.replies, host->recv_count.load());
        EXPECT_EQ(host->seq.load(),
                  static_cast<uint16_t>(m_table->first_seq + host->recv_count.load()));
        EXPECT_EQ(host->up.load(), 1);
        EXPECT_EQ(host->run_count.load(), host->recv_count.load() - 1);
        sent += host->sent_count.load();
    }
    EXPECT_EQ(m_table->Host(end - 1)->ttl.load(), 64);
    EXPECT_GE(sent, 25u * (kHosts + 1));
    for (uint32_t i = 0; i < kFirst; i += 997)
        EXPECT_EQ(m_table->Host(i)->sent_count.load(), 0u);
}

TEST_F(EngineEndToEndTest, HostGivenByNameIsNotDueBeforeTheFirstLookupOfItsNameEnds) {
    VELMORA_REQUIRE_RAW_SOCKETS();
    ASSERT_TRUE(EngineRunning());
    constexpr uint32_t kNamed = 16000;
    FillUpTo(kNamed);
    CHostItem* named = Add("0.0.0.0", 1000, 2000);  // no send thread runs yet
    named->name_host = 1;
    named->hostname = "localhost";
    m_table->stopped.store(0);
    // Before the first lookup of its name has ended, nothing is sent to it, nothing fails.
    ASSERT_EQ(SendCycle(m_table, 0), 0);
    m_view->target.Pump(0);
    EXPECT_EQ(m_view->hosts[kNamed].sendFailures, 0u);
    EXPECT_EQ(named->sent_tick.load(), 0u);
    cDNSthread().DoWork();  // /etc/hosts names localhost
    ASSERT_EQ(SendCycle(m_table, 0), 0);
    EXPECT_TRUE(m_view->PumpUntil([&] { return m_view->hosts[kNamed].replies == 1; },
                                  std::chrono::seconds(10)));
}

// ---------------------------------------------------------------------------------------
// Hosts in network namespaces. The engine runs in a child process started inside a client
// namespace (the engine's sockets belong to the namespace they were opened in, and they
// are opened once per process). The client reaches a router namespace that drops every
// echo request sent to it and has no route onwards, and a peer whose large IPv4 replies
// take over a second to leave and whose IPv6 replies leave at once with hop limit 77.

constexpr char kChildVariable[] = "VELMORA_E2E_NETNS_CHILD";

class Namespaces {
public:
    Namespaces() {
        const std::string id = std::to_string(getpid());
        client = "v25c" + id;
        router = "v25r" + id;
        peer = "v25p" + id;
        const std::string c = "ip -n " + client + " ";
        const std::string r = "ip -n " + router + " ";
        const std::string p = "ip -n " + peer + " ";
        const std::string t = "tc -n " + peer + " ";
        const std::vector<std::string> steps = {
            "ip netns add " + client,
            "ip netns add " + router,
            "ip netns add " + peer,
            "ip link add " + client + "p netns " + client + " type veth peer name " + peer +
                " netns " + peer,
            c + "link set " + client + "p up",
            c + "addr add 198.18.0.1/24 dev " + client + "p",
            c + "-6 addr add 2001:db8:3::1/64 dev " + client + "p nodad",
            p + "link set " + peer + " up",
            p + "addr add 198.18.0.2/24 dev " + peer,
            p + "-6 addr add 2001:db8:3::2/64 dev " + peer + " nodad",
            // IPv4 leaves at 40 kbit/s; everything else, unclassified, at once.
            t + "qdisc add dev " + peer + " root handle 1: htb",
            t + "class add dev " + peer + " parent 1: classid 1:1 htb rate 40kbit quantum 1514",
            t + "filter add dev " + peer + " parent 1: protocol ip u32 match u32 0 0 flowid 1:1",
            "ip netns exec " + peer + " sysctl -qw net.ipv6.conf." + peer + ".hop_limit=77",
            "ip link add " + client + " type veth peer name " + router,
            "ip link set " + client + " netns " + client,
            "ip link set " + router + " netns " + router,
            c + "link set lo up",
            c + "link set " + client + " up",
            c + "addr add 198.51.100.1/24 dev " + client,
            c + "-6 addr add 2001:db8:1::1/64 dev " + client + " nodad",
            r + "link set lo up",
            r + "link set " + router + " up",
            r + "addr add 198.51.100.2/24 dev " + router,
            r + "-6 addr add 2001:db8:1::2/64 dev " + router + " nodad",
            c + "route add 198.19.113.0/24 via 198.51.100.2",
            c + "-6 route add 2001:db8:2::/64 via 2001:db8:1::2",
            "ip netns exec " + router +
                " sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1"
                " net.ipv4.icmp_echo_ignore_all=1 net.ipv6.icmp.echo_ignore_all=1"
                " net.ipv4.icmp_ratelimit=0 net.ipv6.icmp.ratelimit=0",
        };
        for (const std::string& step : steps) {
            if (testsupport::RunShell(step + " 2>&1") != 0) {
                failed = step;
                return;
            }
        }
    }
    ~Namespaces() {
        // Removing the namespaces removes the veth pair and the routes with them.
        testsupport::RunShell("ip netns del " + client + " 2>/dev/null");
        testsupport::RunShell("ip netns del " + router + " 2>/dev/null");
        testsupport::RunShell("ip netns del " + peer + " 2>/dev/null");
    }

    std::string client;
    std::string router;
    std::string peer;
    std::string failed;  // the step that failed, if one did
};

TEST(EngineInNamespaces, DroppedHostTimesOutAndUnroutedHostRecordsTheError) {
    VELMORA_REQUIRE_ROOT();
    VELMORA_REQUIRE_RAW_SOCKETS();
    Namespaces spaces;
    ASSERT_EQ(spaces.failed, "");
    testsupport::TempDir dir;
    const std::string log = dir.File("child.log");
    const std::string command = std::string(kChildVariable) + "=1 ip netns exec " + spaces.client +
                                " /proc/" + std::to_string(getpid()) +
                                "/exe --gtest_filter=EngineInNamespacesChild.* > " + log + " 2>&1";
    const int status = testsupport::RunShell(command);
    std::ifstream file(log);
    std::stringstream output;
    output << file.rdbuf();
    EXPECT_EQ(status, 0) << output.str();
    // The child must really have run, not skipped.
    EXPECT_NE(output.str().find("[  PASSED  ] 1 test"), std::string::npos) << output.str();
    EXPECT_EQ(output.str().find("SKIPPED"), std::string::npos) << output.str();
}

// Runs only inside the client namespace, started by the test above.
class EngineInNamespacesChild : public EngineEndToEndTest {};

TEST_F(EngineInNamespacesChild, Run) {
    if (std::getenv(kChildVariable) == nullptr)
        GTEST_SKIP() << "runs inside the namespaces built by EngineInNamespaces";
    ASSERT_TRUE(EngineRunning());
    constexpr uint32_t kTimeout = 1000;
    CHostItem* drop4 = Add("198.51.100.2", 1000, kTimeout);
    CHostItem* unrouted4 = Add("198.19.113.7", 1000, kTimeout);
    CHostItem* drop6 = Add("2001:db8:1::2", 1000, kTimeout);
    CHostItem* unrouted6 = Add("2001:db8:2::7", 1000, kTimeout);
    // The peer's IPv4 replies come after the time-out, while its IPv6 host keeps the
    // cycle busy.
    CHostItem* late4 = Add("198.18.0.2", 1000, kTimeout, 10000);
    CHostItem* hops6 = Add("2001:db8:3::2", 50, kTimeout);
    ASSERT_TRUE(drop6->target6.has_value());
    ASSERT_TRUE(unrouted6->target6.has_value());
    StartSending();

    // Another pinger in step with the dropped hosts: while one of their requests waits, it
    // sends the same identifier and sequence to an address that answers, and to one that the
    // router answers with an error.
    Capture other4(AF_INET);
    Capture other6(AF_INET6);
    const auto mimic = [&](uint32_t index, Capture& other, uint8_t type,
                           std::initializer_list<const char*> to) {
        if (m_table->Host(index)->pending_tick.load() == 0)
            return;
        const auto request =
            icmptest::EchoMessage(type, EchoIdFromIndex(index), m_table->Host(index)->seq.load());
        for (const char* address : to) {
            addrinfo* a = ResolveAddrInfo(address, "0", AF_UNSPEC, 0, 0);
            sendto(other.fd(), request.data(), request.size(), 0, a->ai_addr, a->ai_addrlen);
            freeaddrinfo(a);
        }
    };

    // Two time-outs of each dropping host; an error for each unrouted one.
    ASSERT_TRUE(m_view->PumpUntil(
        [&] {
            mimic(0, other4, 8, {"198.51.100.1", "198.19.113.9"});
            mimic(2, other6, 128, {"2001:db8:1::1", "2001:db8:2::9"});
            return m_view->hosts[0].timeouts >= 2 && m_view->hosts[2].timeouts >= 2 &&
                   m_view->hosts[1].errors >= 1 && m_view->hosts[3].errors >= 1 &&
                   m_view->hosts[4].timeouts >= 3 && m_view->hosts[5].replies >= 1;
        },
        std::chrono::seconds(30)));
    m_table->stopped.store(1);

    for (CHostItem* host : {drop4, drop6}) {
        EXPECT_EQ(host->recv_count.load(), 0u);
        EXPECT_EQ(host->result.load(), PING_RESULT_TIMEOUT);
        EXPECT_EQ(host->up.load(), 0);
        // Each lost request was followed by one with a sequence number of its own.
        EXPECT_GE(static_cast<uint16_t>(host->seq.load() - m_table->first_seq), 2);
        EXPECT_GE(host->sent_count.load(), 2u);
    }
    for (uint32_t index : {0u, 2u}) {
        // Not before the deadline.
        EXPECT_GE(m_view->hosts[index].youngestTimeout, kTimeout);
        EXPECT_EQ(m_view->hosts[index].replies, 0u);
        EXPECT_EQ(m_view->hosts[index].errors, 0u);
        EXPECT_EQ(m_view->hosts[index].sendFailures, 0u);
    }
    // No route at the router: destination unreachable, network (IPv4 type 3 code 0) and
    // no route (ICMPv6 type 1 code 0); the errors answer the requests, so the sequence
    // moves on.
    EXPECT_EQ(m_view->hosts[1].lastResult, 3);
    EXPECT_EQ(m_view->hosts[1].lastCode, 0);
    EXPECT_EQ(m_view->hosts[3].lastResult, 1);
    EXPECT_EQ(m_view->hosts[3].lastCode, 0);
    for (CHostItem* host : {unrouted4, unrouted6}) {
        EXPECT_EQ(host->recv_count.load(), 0u);
        EXPECT_EQ(host->up.load(), 0);
        EXPECT_NE(host->seq.load(), m_table->first_seq);
    }
    EXPECT_EQ(m_view->hosts[1].sequences.front(), m_table->first_seq);
    EXPECT_EQ(m_view->hosts[3].sequences.front(), m_table->first_seq);

    // The other pinger's answers and the peer's late replies did come, and count for nothing.
    other4.Drain();
    other6.Drain();
    EXPECT_TRUE(other4.Find(0, EchoIdFromIndex(0)) && other6.Find(129, EchoIdFromIndex(2)) &&
                other4.Find(0, EchoIdFromIndex(4)));
    EXPECT_EQ(late4->recv_count.load(), 0u);
    EXPECT_EQ(m_view->hosts[4].replies, 0u);
    EXPECT_EQ(hops6->ttl.load(), 77);
}

}  // namespace
