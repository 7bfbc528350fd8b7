#include "engine/send_cycle.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include "engine/engine_messages.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "engine/icmp_engine.h"
#include "platform/message_target.h"
#include "platform/tick.h"

std::atomic<uint32_t> g_nextSendDelay{kMaxSendPeriod};
csendpingthread* g_pSendPingThread = nullptr;

namespace {

std::atomic<EchoSendFunction> g_sendFunction{nullptr};

// The cycle lets go of the lifetime lock this often, so that an edit on the user-interface
// thread never waits for a whole walk of 65,535 hosts.
constexpr uint32_t kHostsPerLockHold = 256;

// The sockets are non-blocking (the completion port needs them so); a full send queue is a
// moment's congestion that a blocking send would have waited out, not a failed send.
constexpr int kSendRetries = 20;
constexpr int kSendRetryWaitMs = 5;

ssize_t SendDatagram(int socket, const void* data, size_t length, const sockaddr* to,
                     socklen_t toLength) {
    EchoSendFunction function = g_sendFunction.load(std::memory_order_acquire);
    if (function != nullptr)
        return function(socket, data, length, to, toLength);
    for (int attempt = 0;; ++attempt) {
        ssize_t sent = sendto(socket, data, length, 0, to, toLength);
        if (sent >= 0)
            return sent;
        const int error = errno;
        const bool congested =
            error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == EINTR;
        if (!congested || attempt >= kSendRetries)
            return -1;
        pollfd writable{socket, POLLOUT, 0};
        poll(&writable, 1, kSendRetryWaitMs);
        errno = error;
    }
}

// Type, code, zero checksum, identifier and sequence; identifier and sequence least
// significant byte first, which is how the receive path reads them back.
void WriteEchoHeader(uint8_t* header, uint8_t type, int hostIndex, uint16_t seq) {
    const uint16_t id = EchoIdFromIndex(static_cast<uint32_t>(hostIndex));
    header[0] = type;
    header[1] = 0;
    header[2] = 0;
    header[3] = 0;
    header[4] = static_cast<uint8_t>(id & 0xFF);
    header[5] = static_cast<uint8_t>(id >> 8);
    header[6] = static_cast<uint8_t>(seq & 0xFF);
    header[7] = static_cast<uint8_t>(seq >> 8);
}

using ChecksumFunction = uint16_t (*)(const void*, size_t);

// Builds the request in the record or in g_sendBuffer and sends it. `to` is nullptr when
// the host has no destination to send to.
int BuildAndSend(CHostItem* host, int hostIndex, uint8_t type, ChecksumFunction checksum,
                 int socket, const sockaddr* to, socklen_t toLength) {
    uint8_t header[kEchoHeaderSize];
    WriteEchoHeader(header, type, hostIndex, host->seq.load());
    std::memcpy(host->echo, header, kEchoHeaderSize);
    host->SetSentTo(to);

    // Both are set before the datagram leaves, so an answer is always recorded after them.
    host->answer_tick.store(0);
    const uint32_t tick = GetTick();
    host->pending_tick.store(tick);
    host->sent_tick.store(tick);

    const uint32_t payload = host->packetsize.load();
    if (to == nullptr) {
        host->send_error.store(EDESTADDRREQ);
        return -1;
    }
    if (payload > kSendBufferSize - kEchoHeaderSize) {
        // Never read past the shared buffer; the host fails like any unsendable request.
        host->send_error.store(EMSGSIZE);
        return -1;
    }
    uint8_t* datagram = host->echo;
    if (payload > kEchoInlinePayload) {
        std::memcpy(g_sendBuffer, header, kEchoHeaderSize);
        datagram = g_sendBuffer;
    }
    const size_t length = payload + kEchoHeaderSize;
    const uint16_t sum = checksum(datagram, length);
    std::memcpy(datagram + 2, &sum, sizeof sum);

    host->sent_count.fetch_add(1);
    const ssize_t sent = SendDatagram(socket, datagram, length, to, toLength);
    if (sent < 0) {
        const int error = errno;
        host->sent_count.fetch_sub(1);
        host->send_error.store(static_cast<uint32_t>(error));
        return -1;
    }
    return static_cast<int>(sent);
}

// A time-out or a failed send: the host is down from now on, or one failure longer. The
// next request carries a sequence number of its own, so that a late answer to this one
// matches nothing.
void RecordFailure(CHostItem* host, uint16_t result) {
    host->pending_tick.store(0);
    host->seq.fetch_add(1);
    host->result.store(result);
    if (host->up.load() == 0) {
        host->run_count.fetch_add(1);
    } else {
        host->up.store(0);
        host->run_count.store(0);
    }
}

// Whether a host given by name, whose name has not been looked up yet, is not due: one with
// a stored address is due at once at that address (the lookup corrects it later); one with
// none has nowhere to go, and its failure would be a false alarm, until the lookup ends or
// kNameWaitMs have passed.
bool WaitsForItsName(CHostItem* host, uint32_t now) {
    if (host->IsIPv6() || host->LoadAddr4() != htonl(INADDR_ANY))
        return false;
    if (host->name_wait_tick == 0)
        host->name_wait_tick = now;
    return now - host->name_wait_tick < kNameWaitMs;
}

// Sends a cycle message and returns the answer. No window answers 0, as a send to no
// window would; a send given up (the program is closing) counts as a refusal.
LRESULT AskWindow(MessageTarget* window, uint32_t msg, uint32_t tick, int tableNumber) {
    if (window == nullptr)
        return 0;
    std::optional<LRESULT> answer =
        window->Send(msg, static_cast<WPARAM>(tick), static_cast<LPARAM>(tableNumber));
    return answer.has_value() ? *answer : -1;
}

void PostToWindow(MessageTarget* window, uint32_t msg, uint32_t hostIndex) {
    if (window != nullptr)
        window->Post(msg, static_cast<WPARAM>(hostIndex), static_cast<LPARAM>(hostIndex));
}

}  // namespace

void SetEchoSendFunction(EchoSendFunction function) {
    g_sendFunction.store(function, std::memory_order_release);
}

uint16_t InternetChecksum(const void* bytes, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t sum = 0;
    while (length > 1) {
        uint16_t word;
        std::memcpy(&word, p, sizeof word);
        sum += word;
        p += 2;
        length -= 2;
    }
    if (length == 1) {
        // The odd byte counts as if a zero byte followed it.
        uint16_t word = 0;
        std::memcpy(&word, p, 1);
        sum += word;
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

uint16_t InternetChecksumV6(const void* bytes, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t even = 0;
    uint32_t odd = 0;
    while (length >= 4) {
        uint16_t words[2];
        std::memcpy(words, p, sizeof words);
        even += words[0];
        odd += words[1];
        p += 4;
        length -= 4;
    }
    if (length >= 2) {
        uint16_t word;
        std::memcpy(&word, p, sizeof word);
        even += word;
        p += 2;
        length -= 2;
    }
    if (length == 1) {
        uint16_t word = 0;
        std::memcpy(&word, p, 1);
        odd += word;
    }
    // Each accumulator holds at most half of 33,000 words, so neither has overflowed; fold
    // them apart before adding so the sum cannot either.
    even = (even >> 16) + (even & 0xFFFF);
    odd = (odd >> 16) + (odd & 0xFFFF);
    uint32_t sum = even + odd;
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

int SendEchoV4(CHostItem* host, int /*tableNumber*/, int hostIndex) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = host->LoadAddr4();
    // A host given by a name that never resolved has the address 0.0.0.0, which Linux
    // delivers to this machine itself: its answers would show a host up that was never
    // reached. It has no destination yet.
    const bool unresolved = to.sin_addr.s_addr == htonl(INADDR_ANY);
    return BuildAndSend(host, hostIndex, kIcmpEchoRequest, InternetChecksum, g_sockIcmp4,
                        unresolved ? nullptr : reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int SendEchoV6(CHostItem* host, int /*tableNumber*/, int hostIndex) {
    // Copied: the record's destination is only stable while the lifetime lock is held.
    std::optional<sockaddr_in6> target = host->target6;
    const sockaddr* to = target ? reinterpret_cast<const sockaddr*>(&*target) : nullptr;
    return BuildAndSend(host, hostIndex, kIcmp6EchoRequest, InternetChecksumV6, g_sockIcmp6, to,
                        sizeof(sockaddr_in6));
}

int SendEcho(CHostItem* host, int tableNumber, int hostIndex) {
    if (host->IsIPv6())
        return SendEchoV6(host, tableNumber, hostIndex);
    return SendEchoV4(host, tableNumber, hostIndex);
}

int SendCycle(CHostList* table, int tableNumber) {
    uint32_t now = GetTick();
    MessageTarget* window = table->notify_wnd;
    if (AskWindow(window, WM_CYCLE_BEGIN, now, tableNumber) != 0)
        return -1;
    if (table->stopped.load() != 0)
        return 0;

    uint32_t delay = g_nextSendDelay.load();
    {
        std::shared_lock<std::shared_mutex> lifetime(table->lifetime);
        for (uint32_t i = 0; i < table->count.load(std::memory_order_acquire); ++i) {
            if (i != 0 && i % kHostsPerLockHold == 0) {
                lifetime.unlock();
                lifetime.lock();
            }
            CHostItem* host = table->Host(i);
            if (host == nullptr || (host->list_flags.load() & kListSkipMask) != 0)
                continue;

            // Tick differences rather than sums, so that the 49.7-day wrap of the tick
            // neither times a request out early nor leaves one pending for another wrap.
            const uint32_t pending = host->pending_tick.load();
            if (pending != 0 && host->answer_tick.load() == 0) {
                if (now - pending < host->timeout.load())
                    continue;
                RecordFailure(host, PING_RESULT_TIMEOUT);
                PostToWindow(window, WM_PING_TIMEOUT, i);
                continue;
            }
            if ((host->advance.load() & kAdvanceSuspended) != 0)
                continue;
            if (host->name_host != 0 && host->name_resolved.load() == 0 &&
                WaitsForItsName(host, now))
                continue;

            const uint32_t interval = host->interval.load();
            if (now - host->sent_tick.load() >= interval) {
                if (SendEcho(host, tableNumber, static_cast<int>(i)) == -1) {
                    RecordFailure(host, PING_RESULT_SENDFAIL);
                    PostToWindow(window, WM_PING_SENDFAIL, i);
                }
                const uint32_t sent = host->sent_tick.load();
                if (sent != 0)
                    now = sent;
            }
            const uint32_t untilDue = host->sent_tick.load() + interval - now;
            if (untilDue < delay)
                delay = untilDue;
        }
    }
    g_nextSendDelay.store(delay);

    return AskWindow(window, WM_CYCLE_END, now, tableNumber) != 0 ? -2 : 0;
}

int csendpingthread::DoWork() {
    g_nextSendDelay.store(kMaxSendPeriod);
    // Tests replace the table between runs; the program sets it once, before this thread.
    CHostList* table = std::atomic_ref<CHostList*>(g_pHostList).load(std::memory_order_acquire);
    if (table == nullptr) {
        SetPeriod(kMaxSendPeriod);
        return 0;
    }
    SendCycle(table, 0);
    const uint32_t delay = g_nextSendDelay.load();
    SetPeriod(delay <= kMinSendPeriod ? kMinSendPeriod : delay);
    return 0;
}
