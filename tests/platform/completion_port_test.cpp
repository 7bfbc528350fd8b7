#include "platform/completion_port.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/tick.h"

namespace {

// One receive slot, as the engine keeps them: buffer, source address and its length.
struct Slot {
    char data[2048];
    sockaddr_in from;
    socklen_t fromLen;
};

// A UDP socket bound to 127.0.0.1 on a free port, closed at the end of the test.
class UdpSocket {
public:
    UdpSocket() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof m_addr;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&m_addr), &len);
    }
    ~UdpSocket() {
        if (m_fd >= 0)
            close(m_fd);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int fd() const { return m_fd; }
    uint16_t port() const { return ntohs(m_addr.sin_port); }
    bool SendTo(const UdpSocket& to, const std::string& text) const {
        return sendto(m_fd, text.data(), text.size(), 0,
                      reinterpret_cast<const sockaddr*>(&to.m_addr),
                      sizeof to.m_addr) == static_cast<ssize_t>(text.size());
    }
    void Close() {
        close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    sockaddr_in m_addr{};
};

int Post(CompletionPort& port, const UdpSocket& socket, Slot& slot, size_t length = 0) {
    slot.fromLen = sizeof slot.from;
    return port.PostReceive(socket.fd(), &slot, slot.data, length ? length : sizeof slot.data,
                            reinterpret_cast<sockaddr*>(&slot.from), &slot.fromLen);
}

std::string Text(const Slot& slot, const Completion& c) {
    return std::string(slot.data, c.bytes);
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

class CompletionPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_port.Create()); }
    CompletionPort m_port;
};

TEST_F(CompletionPortTest, DatagramsFillPostedSlotsInOrderPerSocketWithTheirKeys) {
    UdpSocket a, b, sender;
    ASSERT_TRUE(m_port.Associate(a.fd(), 11));
    ASSERT_TRUE(m_port.Associate(b.fd(), 22));
    Slot slotsA[4], slotsB[4];
    for (auto& s : slotsA)
        ASSERT_EQ(Post(m_port, a, s), 0);
    for (auto& s : slotsB)
        ASSERT_EQ(Post(m_port, b, s), 0);

    ASSERT_TRUE(sender.SendTo(a, "first"));
    ASSERT_TRUE(sender.SendTo(b, "to b"));
    ASSERT_TRUE(sender.SendTo(a, "second"));
    ASSERT_TRUE(sender.SendTo(a, "third!"));

    std::vector<Completion> fromA, fromB;
    for (int i = 0; i < 4; ++i) {
        Completion c;
        ASSERT_TRUE(m_port.Wait(&c, 10000)) << "completion " << i << " error " << c.error;
        ASSERT_TRUE(c.ok);
        (c.key == 11 ? fromA : fromB).push_back(c);
    }
    ASSERT_EQ(fromA.size(), 3u);
    ASSERT_EQ(fromB.size(), 1u);
    // The oldest posted receive takes the first datagram.
    EXPECT_EQ(fromA[0].slot, &slotsA[0]);
    EXPECT_EQ(fromA[1].slot, &slotsA[1]);
    EXPECT_EQ(fromA[2].slot, &slotsA[2]);
    EXPECT_EQ(fromB[0].slot, &slotsB[0]);
    EXPECT_EQ(Text(slotsA[0], fromA[0]), "first");
    EXPECT_EQ(Text(slotsA[1], fromA[1]), "second");
    EXPECT_EQ(Text(slotsA[2], fromA[2]), "third!");
    EXPECT_EQ(Text(slotsB[0], fromB[0]), "to b");
    EXPECT_EQ(slotsA[1].fromLen, sizeof(sockaddr_in));
    EXPECT_EQ(ntohs(slotsA[1].from.sin_port), sender.port());
    EXPECT_EQ(ntohl(slotsA[1].from.sin_addr.s_addr), INADDR_LOOPBACK);

    Completion none;
    EXPECT_FALSE(m_port.Wait(&none, 30));
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.error, ETIMEDOUT);
    EXPECT_EQ(none.slot, nullptr);
}

TEST_F(CompletionPortTest, WaitManyHandsOutWhatIsReadyInOrderUpToItsRoom) {
    UdpSocket a, sender;
    ASSERT_TRUE(m_port.Associate(a.fd(), 7));
    Slot slots[4];
    for (auto& s : slots)
        ASSERT_EQ(Post(m_port, a, s), 0);
    for (const char* text : {"1", "2", "3"})
        ASSERT_TRUE(sender.SendTo(a, text));

    Completion c[2];
    ASSERT_EQ(m_port.WaitMany(c, 2, 10000), 2u);
    EXPECT_EQ(Text(slots[0], c[0]), "1");
    EXPECT_EQ(Text(slots[1], c[1]), "2");
    ASSERT_EQ(m_port.WaitMany(c, 2, 10000), 1u);
    EXPECT_EQ(c[0].slot, &slots[2]);
    EXPECT_EQ(Text(slots[2], c[0]), "3");
    EXPECT_EQ(m_port.WaitMany(c, 2, 30), 0u);
    EXPECT_EQ(c[0].error, ETIMEDOUT);
}

int64_t Nanoseconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A tick source whose tick 0 is the millisecond `g_tickZeroMs` of the monotonic clock.
std::atomic<int64_t> g_tickZeroMs{0};
uint32_t TicksSinceZero() {
    return static_cast<uint32_t>(Nanoseconds(CLOCK_MONOTONIC) / 1000000 - g_tickZeroMs.load());
}

// A datagram taken from the socket later keeps the tick it arrived at, not the tick it is
// handed out at; and as ticks never read 0 (0 means "none"), an arrival at tick 0 reads as 1.
TEST_F(CompletionPortTest, DatagramTakenLaterKeepsTheTickItArrivedAtAndTickZeroReadsAsOne) {
    UdpSocket a, sender;
    ASSERT_TRUE(m_port.Associate(a.fd(), 7));
    ASSERT_TRUE(sender.SendTo(a, "at zero"));
    // The kernel's stamp of the arrival (real-time clock), peeked before the port takes it.
    // Where the kernel has not yet turned arrival stamps on, the peek stamps it, at once.
    char byte = 0;
    iovec iov{&byte, 1};
    union {
        cmsghdr header;
        char bytes[CMSG_SPACE(sizeof(timespec))];
    } control{};
    msghdr peek{};
    peek.msg_iov = &iov;
    peek.msg_iovlen = 1;
    peek.msg_control = control.bytes;
    peek.msg_controllen = sizeof control.bytes;
    ASSERT_EQ(recvmsg(a.fd(), &peek, MSG_PEEK), 1);
    const cmsghdr* c = CMSG_FIRSTHDR(&peek);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->cmsg_type, SCM_TIMESTAMPNS);
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    // Tick 0 is the millisecond of that arrival on the monotonic clock, which the ticks come
    // from; the datagram waits on in the socket while the ticks go on.
    const int64_t realNs = Nanoseconds(CLOCK_REALTIME);
    const int64_t monotonicNs = Nanoseconds(CLOCK_MONOTONIC);
    const int64_t stampNs = static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
    g_tickZeroMs = (monotonicNs - (realNs - stampNs)) / 1000000;
    ASSERT_TRUE(testsupport::WaitUntil([] { return TicksSinceZero() > 100; }));

    Slot slot;
    ASSERT_EQ(Post(m_port, a, slot), 0);  // taken at the next wait
    SetTickSource(TicksSinceZero);
    Completion done;
    const bool ok = m_port.Wait(&done, 10000);
    SetTickSource(nullptr);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Text(slot, done), "at zero");
    EXPECT_EQ(done.arrivalTick, 1u) << "the tick of its arrival, not of its hand-out";
    EXPECT_GE(TicksSinceZero() - done.arrivalTick, 100u);
}

TEST_F(CompletionPortTest, StopPacketIsAnEmptySuccessAndWakesABlockedWait) {
    ASSERT_TRUE(m_port.PostEmpty());
    Completion c;
    ASSERT_TRUE(m_port.Wait(&c, 0));
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_EQ(c.key, 0u);
    EXPECT_EQ(c.slot, nullptr);

    std::atomic<int> got{0};
    Completion woken;
    std::thread waiter([&] { got = m_port.Wait(&woken, 0xFFFFFFFF) ? 1 : 2; });
    ASSERT_TRUE(m_port.PostEmpty());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return got.load() != 0; }));
    waiter.join();
    EXPECT_EQ(got.load(), 1);
    EXPECT_TRUE(woken.ok);
    EXPECT_EQ(woken.slot, nullptr);
}

TEST_F(CompletionPortTest, StopPacketsAndDatagramsEachCompleteOnce) {
    UdpSocket a, sender;
    ASSERT_TRUE(m_port.Associate(a.fd(), 5));
    Slot slots[2];
    for (auto& s : slots)
        ASSERT_EQ(Post(m_port, a, s), 0);
    ASSERT_TRUE(m_port.PostEmpty());
    ASSERT_TRUE(m_port.PostEmpty());
    ASSERT_TRUE(sender.SendTo(a, "x"));
    int stops = 0, data = 0;
    for (int i = 0; i < 3; ++i) {
        Completion c;
        ASSERT_TRUE(m_port.Wait(&c, 10000));
        (c.slot == nullptr ? stops : data)++;
    }
    EXPECT_EQ(stops, 2);
    EXPECT_EQ(data, 1);
    Completion none;
    EXPECT_FALSE(m_port.Wait(&none, 20));
}

TEST_F(CompletionPortTest, MisuseIsRefused) {
    UdpSocket a;
    Slot slot;
    EXPECT_EQ(Post(m_port, a, slot), EBADF) << "not associated";
    ASSERT_TRUE(m_port.Associate(a.fd(), 1));
    EXPECT_FALSE(m_port.Associate(a.fd(), 2)) << "already associated";
    EXPECT_FALSE(m_port.Associate(-1, 3));

    CompletionPort unmade;
    EXPECT_FALSE(unmade.created());
    EXPECT_FALSE(unmade.Associate(a.fd(), 1));
    EXPECT_FALSE(unmade.PostEmpty());
    Completion c;
    EXPECT_FALSE(unmade.Wait(&c, 0));
    EXPECT_FALSE(c.ok);
}

TEST_F(CompletionPortTest, DatagramsWaitInTheSocketUntilAReceiveIsPosted) {
    UdpSocket a, sender;
    ASSERT_TRUE(m_port.Associate(a.fd(), 7));
    Slot slot;
    ASSERT_EQ(Post(m_port, a, slot), 0);
    for (const char* text : {"one", "two", "three"})
        ASSERT_TRUE(sender.SendTo(a, text));

    Completion c;
    ASSERT_TRUE(m_port.Wait(&c, 10000));
    EXPECT_EQ(Text(slot, c), "one");

    // No receive is posted: the waiting datagrams must neither complete nor make the
    // wait spin on a socket that stays readable.
    double cpuBefore = ThreadCpuMs();
    EXPECT_FALSE(m_port.Wait(&c, 300));
    EXPECT_EQ(c.error, ETIMEDOUT);
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 150.0) << "the wait spun";

    for (const char* text : {"two", "three"}) {
        ASSERT_EQ(Post(m_port, a, slot), 0);
        ASSERT_TRUE(m_port.Wait(&c, 10000));
        EXPECT_TRUE(c.ok);
        EXPECT_EQ(Text(slot, c), text);
    }
}

TEST_F(CompletionPortTest, DatagramLargerThanItsSlotFailsThatSlotOnly) {
    UdpSocket a, sender;
    ASSERT_TRUE(m_port.Associate(a.fd(), 9));
    Slot small, big;
    ASSERT_EQ(Post(m_port, a, small, 4), 0);
    ASSERT_EQ(Post(m_port, a, big), 0);
    ASSERT_TRUE(sender.SendTo(a, "0123456789"));
    ASSERT_TRUE(sender.SendTo(a, "fits"));
    Completion c;
    ASSERT_TRUE(m_port.Wait(&c, 10000));
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, EMSGSIZE);
    EXPECT_EQ(c.slot, &small);
    EXPECT_EQ(c.key, 9u);
    EXPECT_LE(c.bytes, 4u);
    ASSERT_TRUE(m_port.Wait(&c, 10000));
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.slot, &big);
    EXPECT_EQ(Text(big, c), "fits");
}

TEST_F(CompletionPortTest, FailedReceiveCompletesItsSlotWithTheError) {
    // A connected UDP socket learns through ICMP that nobody listens at the far port.
    int closedPort;
    {
        UdpSocket gone;
        closedPort = gone.port();
    }
    UdpSocket a;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(closedPort));
    ASSERT_EQ(connect(a.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(m_port.Associate(a.fd(), 3));
    Slot first, second;
    ASSERT_EQ(Post(m_port, a, first), 0);
    ASSERT_EQ(Post(m_port, a, second), 0);
    ASSERT_EQ(send(a.fd(), "ping", 4, 0), 4);

    Completion c;
    ASSERT_TRUE(m_port.Wait(&c, 10000));
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, ECONNREFUSED);
    EXPECT_EQ(c.slot, &first);
    EXPECT_EQ(c.key, 3u);
    // The other slot is still posted and the error is not repeated.
    EXPECT_FALSE(m_port.Wait(&c, 30));
    EXPECT_EQ(c.error, ETIMEDOUT);
}

TEST_F(CompletionPortTest, ReceivePostedFromAnotherThreadWakesABlockedWait) {
    UdpSocket a, sender;
    ASSERT_TRUE(m_port.Associate(a.fd(), 4));
    ASSERT_TRUE(sender.SendTo(a, "early"));  // arrives before any receive is posted
    Slot slot;
    std::atomic<int> got{0};
    Completion c;
    std::thread waiter([&] { got = m_port.Wait(&c, 0xFFFFFFFF) ? 1 : 2; });
    ASSERT_EQ(Post(m_port, a, slot), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return got.load() != 0; }));
    waiter.join();
    EXPECT_EQ(got.load(), 1);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.slot, &slot);
    EXPECT_EQ(Text(slot, c), "early");
}

TEST_F(CompletionPortTest, Ipv6SourceAddressAndLengthAreHandedBack) {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int out = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ASSERT_GE(out, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        close(out);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ASSERT_TRUE(m_port.Associate(fd, 66));
    struct {
        char data[64];
        sockaddr_in6 from;
        socklen_t fromLen;
    } slot;
    slot.fromLen = sizeof slot.from;
    ASSERT_EQ(m_port.PostReceive(fd, &slot, slot.data, sizeof slot.data,
                                 reinterpret_cast<sockaddr*>(&slot.from), &slot.fromLen),
              0);
    ASSERT_EQ(sendto(out, "six", 3, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 3);
    Completion c;
    bool done = m_port.Wait(&c, 10000);
    close(fd);
    close(out);
    ASSERT_TRUE(done);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.key, 66u);
    EXPECT_EQ(c.bytes, 3u);
    EXPECT_EQ(slot.fromLen, 28u);
    EXPECT_EQ(slot.from.sin6_family, AF_INET6);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&slot.from.sin6_addr));
}

TEST_F(CompletionPortTest, ManyDatagramsThroughManySlotsArriveOnceAndInOrder) {
    UdpSocket a, sender;
    int big = 4 << 20;
    setsockopt(a.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    ASSERT_TRUE(m_port.Associate(a.fd(), 1));
    std::vector<Slot> slots(512);
    for (auto& s : slots)
        ASSERT_EQ(Post(m_port, a, s), 0);

    constexpr uint32_t kCount = 50000;
    constexpr uint32_t kInFlight = 256;  // keeps the socket buffer from overflowing
    std::atomic<uint32_t> received{0};
    std::thread producer([&] {
        for (uint32_t i = 0; i < kCount; ++i) {
            while (i - received.load() >= kInFlight)
                std::this_thread::yield();
            char text[16];
            int n = snprintf(text, sizeof text, "%u", i);
            sender.SendTo(a, std::string(text, n));
        }
    });
    auto start = std::chrono::steady_clock::now();
    uint32_t wrong = 0;
    for (uint32_t i = 0; i < kCount; ++i) {
        Completion c;
        if (!m_port.Wait(&c, 10000)) {
            ADD_FAILURE() << "stalled after " << i << " datagrams";
            received = kCount + kInFlight;  // let the producer finish
            break;
        }
        Slot* slot = static_cast<Slot*>(c.slot);
        if (!c.ok || Text(*slot, c) != std::to_string(i))
            ++wrong;
        received = i + 1;
        Post(m_port, a, *slot);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    producer.join();
    EXPECT_EQ(wrong, 0u);
    RecordProperty("datagrams_per_second", static_cast<int>(kCount / seconds));
    std::printf("completion port: %u datagrams in %.3f s (%.0f/s)\n", kCount, seconds,
                kCount / seconds);
}

}  // namespace
