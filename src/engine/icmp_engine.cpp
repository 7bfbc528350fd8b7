#include "engine/icmp_engine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <unistd.h>

#include "engine/host_list.h"
#include "engine/icmp_parse.h"
#include "platform/completion_port.h"
#include "platform/event.h"
#include "platform/message_box.h"
#include "platform/thread.h"

int g_sockIcmp4 = -1;
int g_sockIcmp6 = -1;
CompletionPort* g_hIcmpPort = nullptr;
SuspendedThread* g_hRecvThread = nullptr;
std::atomic<uint8_t> g_bShutdown{0};

namespace {

constexpr int kSocketBufferBytes = 0x100000;
constexpr int kIpv4Ttl = 255;
constexpr int kIpv6Hops = 128;
constexpr size_t kStartDatagramSize = 128;
constexpr socklen_t kFromLen4 = sizeof(sockaddr_in);
constexpr socklen_t kFromLen6 = sizeof(sockaddr_in6);
constexpr int kFailedWaitPauseMs = 10;
// Completions the receive thread takes from the port at once.
constexpr size_t kRecvBatch = 64;
// The receive thread's pause between bursts while replies stream in. Waking it costs the
// sender and the receive thread more than the datagrams themselves; at 65,535 echoes a
// second one burst per pause is about 65 datagrams, far below what the socket buffers hold.
constexpr long kRecvPauseNs = 1000000;

// The receive slots live for the whole run; the kernel-side queues refer to them.
CRecvContext g_recvSlots4[kRecvSlots];
CRecvContext g_recvSlots6[kRecvSlots];

std::string Format(const char* format, int a) {
    char text[256];
    std::snprintf(text, sizeof(text), format, a);
    return text;
}

std::string Format(const char* format, int a, int b) {
    char text[256];
    std::snprintf(text, sizeof(text), format, a, b);
    return text;
}

// The socket boxes carry their text as body under an empty caption; the start-up boxes
// carry it as caption with no body.
void SocketBox(const std::string& text) {
    ShowMessageBox("", text, MB_OK);
}

void StartBox(const char* caption) {
    ShowMessageBox(caption, "", MB_OK);
}

// 1 MB buffers: the plain options are capped by net.core.[rw]mem_max, the FORCE variants
// are not (they need CAP_NET_ADMIN). Failures are ignored, as the buffers only help.
void SetBuffers(int fd) {
    int size = kSocketBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

// Kernel filters: only echo replies and the error types the parsers look at reach us.
// Without them the parsers still drop everything else; they only save the copying, most
// of all of our own echo requests, which a raw socket sees on the loopback device.
void SetFilter4(int fd) {
    icmp_filter filter{};
    filter.data = ~0u;  // a set bit blocks that type
    filter.data &= ~(1u << 0);
    for (int type = 1; type <= 18; ++type) {
        if (type != 8)  // our own echo requests
            filter.data &= ~(1u << type);
    }
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof(filter));
}

void SetFilter6(int fd) {
    icmp6_filter filter{};
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
    for (int type = 0; type <= 4; ++type)
        ICMP6_FILTER_SETPASS(type, &filter);
    setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof(filter));
}

void BindIcmp6(int fd) {
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    socklen_t anyLen = sizeof(any);
    // The passive address comes from the resolver; should it have none, the any address
    // is what it would have given.
    addrinfo* passive = ResolveAddrInfo(nullptr, "0", AF_INET6, 0, 0);
    if (passive != nullptr && passive->ai_addr != nullptr && passive->ai_addrlen <= sizeof(any)) {
        std::memcpy(&any, passive->ai_addr, passive->ai_addrlen);
        anyLen = passive->ai_addrlen;
    }
    if (passive != nullptr)
        freeaddrinfo(passive);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&any), anyLen) != 0) {
        int error = errno;
        SocketBox(Format("bind() failed with error code %d\n", error));
    }
}

// The datagram sent once at start carries no meaning: a type no one answers and every
// receiver drops (types above 18 are not ICMP messages the stack acts on).
void SendStartDatagram(int fd) {
    uint8_t datagram[kStartDatagramSize] = {};
    datagram[0] = 0xFF;
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, datagram, sizeof(datagram), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&loopback), sizeof(loopback));
}

// The sender of an IPv6 slot's datagram; the unspecified address, which is no host's
// destination, when the receive did not give a whole one.
in6_addr Sender6(const CRecvContext& slot) {
    return slot.fromlen >= kFromLen6 ? slot.from.sin6_addr : in6addr_any;
}

bool IsSlotOf(const CRecvContext* slot, const CRecvContext* slots) {
    return slot >= slots && slot < slots + kRecvSlots;
}

int PostRecv(int fd, CRecvContext* slot, socklen_t fromLen) {
    if (g_hIcmpPort == nullptr || slot == nullptr)
        return -2;
    slot->wsabuf.len = kRecvDataSize;
    slot->wsabuf.buf = slot->data;
    slot->fromlen = fromLen;
    int error = g_hIcmpPort->PostReceive(fd, slot, slot->wsabuf.buf, slot->wsabuf.len,
                                         reinterpret_cast<sockaddr*>(&slot->from), &slot->fromlen);
    return error == 0 ? 0 : -2;
}

void PauseReceiving() {
    timespec pause{0, kRecvPauseNs};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Re-arms the slot a completion handed back, on the socket it belongs to.
void Repost(uintptr_t key, void* slotPointer) {
    auto* slot = static_cast<CRecvContext*>(slotPointer);
    if (key == static_cast<uintptr_t>(g_sockIcmp4) && IsSlotOf(slot, g_recvSlots4))
        PostRecvV4(slot);
    else if (key == static_cast<uintptr_t>(g_sockIcmp6) && IsSlotOf(slot, g_recvSlots6))
        PostRecvV6(slot);
}

}  // namespace

int CreateIcmpSockets() {
    g_sockIcmp4 = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (g_sockIcmp4 < 0) {
        int error = errno;
        SocketBox(
            Format("Socket is %i Error code is %i, Velmora IPV6 should make a raw socket, "
                   "Please run as administrator account",
                   g_sockIcmp4, error));
    } else {
        int ttl = kIpv4Ttl;
        setsockopt(g_sockIcmp4, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
        SetFilter4(g_sockIcmp4);
    }

    g_sockIcmp6 = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (g_sockIcmp6 < 0) {
        int error = errno;
        SocketBox(
            Format("IPV6 Socket is %i Error code is %i, Velmora IPV6 should make a raw "
                   "socket, Please run as administrator account",
                   g_sockIcmp6, error));
    } else {
        // Setting up a socket that did not open would only add boxes about a missing
        // socket to the one that already said why.
        BindIcmp6(g_sockIcmp6);
        int hops = kIpv6Hops;
        setsockopt(g_sockIcmp6, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof(hops));
        // Each reply then says the hop limit it arrived with, which is its TTL.
        int on = 1;
        setsockopt(g_sockIcmp6, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof(on));
        SetFilter6(g_sockIcmp6);
        SetBuffers(g_sockIcmp6);
    }

    if (g_sockIcmp4 >= 0) {
        SetBuffers(g_sockIcmp4);
        SendStartDatagram(g_sockIcmp4);
    }
    return 0;
}

int PostRecvV4(CRecvContext* slot) {
    return PostRecv(g_sockIcmp4, slot, kFromLen4);
}

int PostRecvV6(CRecvContext* slot) {
    return PostRecv(g_sockIcmp6, slot, kFromLen6);
}

uint32_t IcmpRecvThreadProc() {
    Completion done[kRecvBatch];
    for (;;) {
        // Every completion that is ready, so that one wake-up serves a whole burst.
        const size_t count = g_hIcmpPort->WaitMany(done, kRecvBatch, kInfinite);
        if (count == 0) {
            // A wait time-out, or a failed wait that handed nothing back. A wait that keeps
            // failing must not turn into a busy loop.
            if (done[0].slot != nullptr)
                Repost(done[0].key, done[0].slot);
            else if (done[0].error != ETIMEDOUT)
                poll(nullptr, 0, kFailedWaitPauseMs);
            continue;
        }
        size_t handled = 0;
        size_t datagrams = 0;
        bool stopping = false;
        {
            // One hold of the table's lifetime lock, and one hand-over to the view, for all.
            IcmpParseBatch batch;
            for (; handled < count && !stopping; ++handled) {
                const Completion& c = done[handled];
                if (c.slot == nullptr) {
                    // The empty stop packet; without g_bShutdown it is ignored.
                    stopping =
                        c.ok && c.bytes == 0 && g_bShutdown.load(std::memory_order_acquire) != 0;
                    continue;
                }
                if (!c.ok)
                    continue;  // posted again below
                // A datagram of zero bytes is still a datagram: its slot goes back into
                // service, or a sender of empty packets could use up every posted receive.
                auto* slot = static_cast<CRecvContext*>(c.slot);
                uint32_t bytes = c.bytes < kRecvDataSize ? c.bytes : kRecvDataSize;
                ++datagrams;
                if (bytes == 0)
                    continue;
                if (c.key == static_cast<uintptr_t>(g_sockIcmp4) && IsSlotOf(slot, g_recvSlots4))
                    batch.V4(slot->data, bytes, c.arrivalTick);
                else if (IsSlotOf(slot, g_recvSlots6))
                    batch.V6(slot->data, bytes, c.arrivalTick, Sender6(*slot), c.hopLimit);
            }
        }
        // The slots go back into service once their data is parsed.
        for (size_t i = 0; i < handled; ++i) {
            if (done[i].slot != nullptr)
                Repost(done[i].key, done[i].slot);
        }
        if (stopping)
            return 0;
        // Replies are streaming in and none is left: let the next ones gather in the socket
        // for a moment rather than be woken for every few of them. Each keeps the tick at
        // which it arrived, so no round trip grows by the pause; a lone reply is still
        // taken the moment it comes.
        if (datagrams > 1 && count < kRecvBatch)
            PauseReceiving();
    }
}

namespace {

int StartOnce() {
    if (g_hIcmpPort == nullptr) {
        auto* port = new CompletionPort;
        if (!port->Create()) {
            delete port;
            StartBox("Create port failed !");
            return -3;
        }
        g_hIcmpPort = port;
    }

    CreateIcmpSockets();

    if (g_sockIcmp4 < 0 ||
        !g_hIcmpPort->Associate(g_sockIcmp4, static_cast<uintptr_t>(g_sockIcmp4))) {
        StartBox("Create socket port failed !");
        return -2;
    }
    if (g_sockIcmp6 < 0 ||
        !g_hIcmpPort->Associate(g_sockIcmp6, static_cast<uintptr_t>(g_sockIcmp6))) {
        StartBox("Create ipv6 socket port failed !");
        return -2;
    }
    for (CRecvContext& slot : g_recvSlots4) {
        if (PostRecvV4(&slot) != 0) {
            StartBox("Start recv failed!");
            return -3;
        }
    }
    for (CRecvContext& slot : g_recvSlots6) {
        if (PostRecvV6(&slot) != 0) {
            StartBox("Start IPV6 recv failed!");
            return -3;
        }
    }

    auto* thread = new SuspendedThread;
    if (!thread->Create(IcmpRecvThreadProc) || thread->Resume() < 0) {
        delete thread;
        StartBox("Start recv thread failed!");
        return 0;
    }
    g_hRecvThread = thread;
    return 0;
}

}  // namespace

int StartIcmpEngine() {
    // A second run would open a second pair of sockets and post the same slots again.
    static bool started = false;
    static int result = 0;
    if (!started) {
        started = true;
        result = StartOnce();
    }
    return result;
}

void StopIcmpEngine() {
    g_bShutdown.store(1, std::memory_order_release);
    if (g_hIcmpPort != nullptr)
        g_hIcmpPort->PostEmpty();
}

bool WaitIcmpRecvThreadEnd(uint32_t timeoutMs) {
    if (g_hRecvThread == nullptr)
        return true;
    return g_hRecvThread->WaitForEnd(timeoutMs);
}
