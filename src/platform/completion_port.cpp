#include "platform/completion_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/tick.h"

namespace {

// Datagrams taken from one socket per system call.
constexpr unsigned kBatch = 64;
// Sockets reported ready per wake-up.
constexpr int kMaxEvents = 16;
constexpr int64_t kNsPerMs = 1000000;

// Room for what the kernel attaches to a datagram: its arrival time and, on an IPv6 socket
// that asked for it, its hop limit.
union ArrivalControl {
    cmsghdr header;
    char bytes[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(int))];
};

int64_t Nanoseconds(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The clocks read once per receive call: the kernel stamps arrivals on the real-time clock,
// the tick counts on the monotonic one.
struct ClockPair {
    int64_t realNs = 0;
    int64_t monotonicNs = 0;
    uint32_t tick = 0;

    static ClockPair Now() {
        ClockPair now;
        timespec real{};
        timespec monotonic{};
        clock_gettime(CLOCK_REALTIME, &real);
        clock_gettime(CLOCK_MONOTONIC, &monotonic);
        now.tick = GetTick();
        now.realNs = Nanoseconds(real);
        now.monotonicNs = Nanoseconds(monotonic);
        return now;
    }

    // What the kernel attached to a datagram, read in one walk: the tick at which it
    // arrived (0 when it carries no stamp) and its hop limit (-1 when none). When the control
    // data did not fit, neither is trusted: they may be cut or missing.
    void ReadControl(const msghdr& header, Completion& done) const {
        if ((header.msg_flags & MSG_CTRUNC) != 0)
            return;
        for (const cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
             c = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(c))) {
            if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT &&
                c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                std::memcpy(&done.hopLimit, CMSG_DATA(c), sizeof done.hopLimit);
                continue;
            }
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS ||
                c->cmsg_len < CMSG_LEN(sizeof(timespec)))
                continue;
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            // A stamp ahead of now (the real-time clock was set back) reads as now.
            const int64_t ageNs = std::max<int64_t>(0, realNs - Nanoseconds(stamp));
            // Whole ticks between arrival and now, counted on the clock the ticks come from.
            const int64_t ticks = monotonicNs / kNsPerMs - (monotonicNs - ageNs) / kNsPerMs;
            const uint32_t arrival = tick - static_cast<uint32_t>(ticks);
            // Ticks never read 0 (0 means "none"): the millisecond that would be 0 reads as
            // 1, as GetTick has it.
            done.arrivalTick = arrival != 0 ? arrival : 1;
        }
    }
};

}  // namespace

CompletionPort::CompletionPort() = default;

CompletionPort::~CompletionPort() {
    if (m_wake >= 0)
        close(m_wake);
    if (m_epoll >= 0)
        close(m_epoll);
}

bool CompletionPort::Create() {
    if (created())
        return true;
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0)
        return false;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        close(epfd);
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, wake, &ev) != 0) {
        close(wake);
        close(epfd);
        return false;
    }
    m_epoll = epfd;
    m_wake = wake;
    return true;
}

bool CompletionPort::created() const {
    return m_epoll >= 0;
}

bool CompletionPort::Associate(int fd, uintptr_t key) {
    if (!created() || fd < 0 || fd == m_wake)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sockets.count(fd) != 0)
        return false;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    // Completions then carry when their datagram arrived; without the stamps they say 0.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // Level-triggered: a wake-up that takes only part of what waits is reported again.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    Socket& socket = m_sockets[fd];
    socket.key = key;
    socket.armed = true;
    return true;
}

bool CompletionPort::SetWatch(int fd, bool on) {
    epoll_event ev{};
    ev.events = on ? static_cast<uint32_t>(EPOLLIN) : 0u;
    ev.data.fd = fd;
    return epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev) == 0;
}

int CompletionPort::PostReceive(int fd, void* slot, void* buffer, size_t length, sockaddr* from,
                                socklen_t* fromLen) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sockets.find(fd);
    if (it == m_sockets.end())
        return EBADF;
    Socket& socket = it->second;
    Pending pending;
    pending.slot = slot;
    pending.buffer = buffer;
    pending.length = length;
    pending.from = from;
    pending.fromLen = fromLen;
    socket.pending.push_back(pending);
    if (!socket.armed && SetWatch(fd, true))
        socket.armed = true;
    if (!socket.armed) {
        // Without a watch the receive would never complete; hand it back as failed so
        // its owner sees the error.
        Completion failed;
        failed.key = socket.key;
        failed.slot = slot;
        failed.error = errno;
        socket.pending.pop_front();  // it was the only one: the watch is off only when empty
        m_ready.push_back(failed);
        uint64_t one = 1;
        (void)!write(m_wake, &one, sizeof one);
    }
    return 0;
}

bool CompletionPort::PostEmpty() {
    if (!created())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Completion stop;
        stop.ok = true;
        m_ready.push_back(stop);
    }
    uint64_t one = 1;
    // A full counter (EAGAIN) still leaves the eventfd readable, which is all a wake needs.
    ssize_t written = write(m_wake, &one, sizeof one);
    return written == sizeof one || errno == EAGAIN;
}

void CompletionPort::Drain(int fd, Socket& socket) {
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    // Zeroed once: the kernel says how much of each it filled (msg_controllen), and only
    // that much is read.
    ArrivalControl controls[kBatch] = {};
    bool empty = false;  // the socket reported it has nothing more
    while (!socket.pending.empty()) {
        unsigned batch = static_cast<unsigned>(std::min<size_t>(socket.pending.size(), kBatch));
        for (unsigned i = 0; i < batch; ++i) {
            Pending& p = socket.pending[i];
            iovs[i].iov_base = p.buffer;
            iovs[i].iov_len = p.length;
            msgs[i].msg_hdr = msghdr{};
            msgs[i].msg_hdr.msg_name = p.from;
            msgs[i].msg_hdr.msg_namelen = p.fromLen != nullptr ? *p.fromLen : 0;
            if (p.from == nullptr)
                msgs[i].msg_hdr.msg_namelen = 0;
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = controls[i].bytes;
            msgs[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
            msgs[i].msg_len = 0;
        }
        int got = recvmmsg(fd, msgs, batch, MSG_DONTWAIT, nullptr);
        const ClockPair now = got > 0 ? ClockPair::Now() : ClockPair{};
        if (got < 0) {
            int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                empty = true;
                break;
            }
            if (error == EINTR)
                continue;
            // A failed receive completes its slot with the error; the owner posts it again.
            Completion failed;
            failed.key = socket.key;
            failed.slot = socket.pending.front().slot;
            failed.error = error;
            socket.pending.pop_front();
            m_ready.push_back(failed);
            continue;
        }
        for (int i = 0; i < got; ++i) {
            Pending& p = socket.pending.front();
            Completion done;
            done.key = socket.key;
            done.slot = p.slot;
            done.bytes = msgs[i].msg_len;
            now.ReadControl(msgs[i].msg_hdr, done);
            if (p.fromLen != nullptr && p.from != nullptr)
                *p.fromLen = msgs[i].msg_hdr.msg_namelen;
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
                // The datagram did not fit the slot: the part that did is there, but
                // the receive failed.
                done.error = EMSGSIZE;
            } else {
                done.ok = true;
            }
            socket.pending.pop_front();
            m_ready.push_back(done);
        }
        if (static_cast<unsigned>(got) < batch) {
            empty = true;
            break;
        }
    }
    // Data may still wait with no receive posted: stop watching until one is posted, or a
    // level-triggered wait would spin on it.
    if (!empty && socket.pending.empty() && socket.armed && SetWatch(fd, false))
        socket.armed = false;
}

bool CompletionPort::Wait(Completion* out, uint32_t timeoutMs) {
    return WaitMany(out, 1, timeoutMs) == 1;
}

size_t CompletionPort::WaitMany(Completion* out, size_t max, uint32_t timeoutMs) {
    if (max == 0)
        return 0;
    *out = Completion{};
    if (!created()) {
        out->error = EBADF;
        return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_ready.empty()) {
                size_t taken = 0;
                while (taken < max && !m_ready.empty()) {
                    out[taken++] = m_ready.front();
                    m_ready.pop_front();
                }
                return taken;
            }
        }
        int waitMs = -1;
        if (timeoutMs != 0xFFFFFFFF) {
            auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
            long long left = static_cast<long long>(timeoutMs) - spent;
            waitMs = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        epoll_event events[kMaxEvents];
        int n = epoll_wait(m_epoll, events, kMaxEvents, waitMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            out->error = errno;
            return 0;
        }
        if (n == 0) {
            out->error = ETIMEDOUT;
            return 0;
        }
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == m_wake) {
                uint64_t count = 0;
                (void)!read(m_wake, &count, sizeof count);
                continue;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_sockets.find(fd);
            if (it != m_sockets.end())
                Drain(fd, it->second);
        }
    }
}
