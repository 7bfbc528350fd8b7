#pragma once

// Small pieces the benchmarks share: number arguments, CPU times and context switches, the
// kernel's drop count of a raw socket, and the floor that the engine is measured against.
// Header-only, since every benchmark is a program of its own.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "engine/host_item.h"
#include "engine/send_cycle.h"

namespace bench {

// A decimal number that fits 32 bits, and nothing after it.
inline bool ParseNumber(const char* text, uint32_t* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > 0xFFFFFFFFul)
        return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

inline double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// CPU seconds (user + system) and context switches (voluntary + involuntary) of RUSAGE_SELF
// or RUSAGE_THREAD.
struct Usage {
    double cpu = 0;
    uint64_t switches = 0;
};

inline Usage UsageOf(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return {Seconds(usage.ru_utime) + Seconds(usage.ru_stime),
            static_cast<uint64_t>(usage.ru_nvcsw) + static_cast<uint64_t>(usage.ru_nivcsw)};
}

inline Usage operator-(const Usage& a, const Usage& b) {
    return {a.cpu - b.cpu, a.switches - b.switches};
}

// Host i of a benchmark (from 0) is 127.0.0.1 + i, in network byte order: all of 127.0.0.0/8
// answers on Linux.
inline uint32_t LoopbackTarget(uint32_t i) {
    return htonl(0x7F000001u + i);
}

// Datagrams the kernel dropped on `socket` for want of buffer space, from /proc/net/raw
// (or raw6); -1 when the socket is not found there.
inline long long KernelDrops(int socket, const char* table) {
    struct stat info {};
    if (fstat(socket, &info) != 0)
        return -1;
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::vector<std::string> columns;
        std::string column;
        while (fields >> column)
            columns.push_back(column);
        // ... uid timeout inode ref pointer drops
        if (columns.size() >= 6 &&
            std::strtoull(columns[columns.size() - 4].c_str(), nullptr, 10) == info.st_ino)
            return std::strtoll(columns.back().c_str(), nullptr, 10);
    }
    return -1;
}

// What the floor loop did: the echoes it sent, the replies it matched, its CPU and its context
// switches from the first send until the last reply was in or given up.
struct FloorFigures {
    uint64_t sent = 0;
    uint64_t replies = 0;
    Usage usage;

    double CpuPerEchoUs() const {
        return sent == 0 ? 0.0 : usage.cpu * 1e6 / static_cast<double>(sent);
    }
    double SwitchesPerEcho() const {
        return sent == 0 ? 0.0 : static_cast<double>(usage.switches) / static_cast<double>(sent);
    }
};

// The floor: the least a program can spend to send the same echoes. One thread, one raw
// socket with the kernel's ICMP filter and 1 MB buffers, the engine's 40-byte requests to
// `hosts` loopback targets every `interval` ms for `seconds`, every reply drained right after
// the send that caused it and matched to its target by identifier and sequence. Then up to
// `timeout` ms for the last replies. Run it while no other raw socket of the process is open
// (each raw socket gets a copy of every reply). nullopt when the socket does not open.
inline std::optional<FloorFigures> RunFloor(uint32_t hosts, uint32_t interval, uint32_t seconds,
                                            uint32_t timeout) {
    using Clock = std::chrono::steady_clock;
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (fd < 0)
        return std::nullopt;
    int size = 0x100000;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    icmp_filter filter{};
    filter.data = ~(1u << 0);  // echo replies only
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);

    constexpr size_t kRequest = kEchoHeaderSize + kEchoInlinePayload;
    constexpr unsigned kBatch = 64;
    constexpr size_t kDatagram = 128;
    uint8_t request[kRequest] = {};
    request[0] = kIcmpEchoRequest;
    for (size_t i = 0; i < kEchoInlinePayload; ++i)
        request[kEchoHeaderSize + i] = static_cast<uint8_t>('a' + i % 23);
    std::vector<uint16_t> expected(hosts);  // sequence of each target's outstanding request
    std::vector<uint8_t> outstanding(hosts);
    static uint8_t buffers[kBatch][kDatagram];
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];

    for (unsigned i = 0; i < kBatch; ++i) {
        iovs[i] = {buffers[i], kDatagram};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }

    FloorFigures figures;
    auto drain = [&] {
        for (;;) {
            const int got = recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
            for (int i = 0; i < got; ++i) {
                const uint8_t* d = buffers[i];
                const uint32_t h = 4u * (d[0] & 0x0F);
                if (msgs[i].msg_len < h + kEchoHeaderSize || d[h] != 0)
                    continue;
                const uint32_t index = static_cast<uint16_t>((d[h + 4] | d[h + 5] << 8) - 1025);
                const uint16_t seq = static_cast<uint16_t>(d[h + 6] | d[h + 7] << 8);
                if (index < hosts && outstanding[index] != 0 && expected[index] == seq) {
                    outstanding[index] = 0;
                    ++figures.replies;
                }
            }
            if (got < static_cast<int>(kBatch))
                return;
        }
    };

    const Usage before = UsageOf(RUSAGE_THREAD);
    const auto start = Clock::now();
    const uint32_t rounds = seconds * 1000 / (interval == 0 ? 1 : interval);
    for (uint32_t round = 0; round < rounds; ++round) {
        const auto due = start + std::chrono::milliseconds(uint64_t{round} * interval);
        for (auto now = Clock::now(); now < due; now = Clock::now()) {
            pollfd readable{fd, POLLIN, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
            if (poll(&readable, 1, static_cast<int>(left)) > 0)
                drain();
        }
        const uint16_t seq = static_cast<uint16_t>(258 + round);
        for (uint32_t i = 0; i < hosts; ++i) {
            const uint16_t id = static_cast<uint16_t>(i + 1025);
            request[2] = request[3] = 0;
            request[4] = static_cast<uint8_t>(id);
            request[5] = static_cast<uint8_t>(id >> 8);
            request[6] = static_cast<uint8_t>(seq);
            request[7] = static_cast<uint8_t>(seq >> 8);
            const uint16_t sum = InternetChecksum(request, kRequest);
            std::memcpy(request + 2, &sum, sizeof sum);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = LoopbackTarget(i);
            expected[i] = seq;
            outstanding[i] = 1;
            for (;;) {
                if (sendto(fd, request, kRequest, 0, reinterpret_cast<const sockaddr*>(&to),
                           sizeof to) == static_cast<ssize_t>(kRequest)) {
                    ++figures.sent;
                    break;
                }
                if (errno != EAGAIN && errno != ENOBUFS && errno != EINTR)
                    break;
                pollfd writable{fd, POLLOUT, 0};
                poll(&writable, 1, 5);
            }
            drain();
        }
    }
    const auto end = Clock::now() + std::chrono::milliseconds(timeout);
    for (auto now = Clock::now(); now < end && figures.replies < figures.sent; now = Clock::now()) {
        pollfd readable{fd, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
        if (poll(&readable, 1, static_cast<int>(left)) > 0)
            drain();
    }
    figures.usage = UsageOf(RUSAGE_THREAD) - before;
    close(fd);
    return figures;
}

inline void PrintFloor(const FloorFigures& f) {
    std::printf(
        "floor   sent %10llu  replies %10llu  CPU %.3f s (%.2f us per echo)  context switches "
        "%llu (%.4f per echo)\n",
        static_cast<unsigned long long>(f.sent), static_cast<unsigned long long>(f.replies),
        f.usage.cpu, f.CpuPerEchoUs(), static_cast<unsigned long long>(f.usage.switches),
        f.SwitchesPerEcho());
}

}  // namespace bench
