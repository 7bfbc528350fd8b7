#include "engine/icmp_parse.h"

#include <mutex>
#include <shared_mutex>

#include "engine/engine_messages.h"
#include "engine/host_list.h"
#include "platform/message_target.h"
#include "platform/tick.h"

namespace {

constexpr uint8_t kIcmpEchoReply = 0;
constexpr uint8_t kIcmpEchoRequest = 8;
constexpr uint8_t kIcmpLastErrorType = 18;
constexpr uint8_t kIcmp6LastErrorType = 4;
constexpr uint8_t kIcmp6EchoRequest = 128;
constexpr uint8_t kIcmp6EchoReply = 129;
constexpr uint32_t kIcmpHeaderSize = 8;
constexpr uint32_t kIpv4MinHeader = 20;
constexpr uint32_t kIpv6HeaderSize = 40;
constexpr uint32_t kIpv4SourceOffset = 12;
constexpr uint32_t kIpv4DestinationOffset = 16;
constexpr uint32_t kIpv6DestinationOffset = 24;

// Identifier and sequence travel least significant byte first (see the request builder).
uint16_t ReadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

CHostList* CurrentTable() {
    return std::atomic_ref<CHostList*>(g_pHostList).load(std::memory_order_acquire);
}

// The host an answer names, when it answers the host's current request: its identifier and
// sequence, and an address that is the destination of that request. A record still being
// filled has sent nothing (the acquire pairs with PublishHost's release). The sequence is
// then claimed, so that of two answers to one request, or an answer and the time-out that
// has just ended the request, only one counts.
CHostItem* MatchHost(CHostList* table, uint32_t index, uint16_t sequence, const uint8_t* address,
                     bool v6) {
    CHostItem* host = table->Host(index);
    if (host == nullptr || host->seq.load(std::memory_order_acquire) != sequence ||
        (host->list_flags.load(std::memory_order_acquire) & kListUnfilled) != 0 ||
        !host->WasSentTo(address, v6))
        return nullptr;
    uint16_t expected = sequence;
    if (!host->seq.compare_exchange_strong(expected, static_cast<uint16_t>(sequence + 1),
                                           std::memory_order_acq_rel))
        return nullptr;
    return host;
}

// The tick the answer is recorded with: when the datagram reached the socket, or now when
// that is not known. An arrival is never before the request went out (`pending`); a tick
// derived from a clock read a moment apart could otherwise suggest it by a millisecond.
uint32_t AnswerTick(uint32_t arrival, uint32_t pending) {
    if (arrival == 0)
        return GetTick();
    if (pending != 0 && static_cast<int32_t>(arrival - pending) < 0)
        return pending;
    return arrival;
}

// One more answer of the kind `up` says (1 reply, 0 error): the run of answers of that kind
// grows, or a new run starts.
void CountRun(CHostItem& host, uint8_t up) {
    if (host.up.load(std::memory_order_relaxed) == up) {
        host.run_count.fetch_add(1, std::memory_order_relaxed);
    } else {
        host.up.store(up, std::memory_order_relaxed);
        host.run_count.store(0, std::memory_order_relaxed);
    }
}

}  // namespace

IcmpParseBatch::IcmpParseBatch() : m_table(CurrentTable()) {
    if (m_table != nullptr)
        m_lifetime = std::shared_lock(m_table->lifetime);
}

IcmpParseBatch::~IcmpParseBatch() {
    Flush();
}

void IcmpParseBatch::Flush() {
    // Posted under the lock (a post never blocks): whoever detaches the window under the
    // exclusive lock knows that no post to it is still under way.
    if (m_count != 0 && m_table->notify_wnd != nullptr)
        m_table->notify_wnd->PostBatch(m_replies, m_count);
    m_count = 0;
}

void IcmpParseBatch::Matched(uint32_t index, uint16_t sequence) {
    if (m_count == kMaxReplies)
        Flush();
    m_replies[m_count++] = {WM_PING_REPLY, index, sequence};
}

// An echo reply from `source` carrying `id` and `sequence`; `ttl` is what the record keeps.
void IcmpParseBatch::AcceptEchoReply(uint16_t id, uint16_t sequence, Address source, uint8_t ttl,
                                     uint32_t arrival) {
    if (m_table == nullptr)
        return;
    uint32_t index = IndexFromEchoId(id);
    CHostItem* host = MatchHost(m_table, index, sequence, source.bytes, source.v6);
    if (host == nullptr)
        return;
    uint32_t pending = host->pending_tick.load(std::memory_order_acquire);
    uint32_t tick = AnswerTick(arrival, pending);
    // A reply at or after the deadline, or after the send cycle has already reported the
    // time-out and cleared pending_tick, is late. The elapsed time is a tick difference, as
    // in the send cycle: a deadline summed across the 32-bit wrap would call a reply sent
    // just before the wrap late.
    if (pending == 0 || tick - pending >= host->timeout.load(std::memory_order_relaxed))
        return;
    host->answer_tick.store(tick, std::memory_order_release);
    host->result.store(PING_RESULT_REPLY, std::memory_order_relaxed);
    host->recv_count.fetch_add(1, std::memory_order_relaxed);
    host->ttl.store(ttl, std::memory_order_relaxed);
    CountRun(*host, 1);
    Matched(index, sequence);
}

// An ICMP or ICMPv6 error of `type` and `code` that quotes a request to `destination` with
// `id` and `sequence`. Errors are never late.
void IcmpParseBatch::AcceptError(uint8_t type, uint8_t code, uint16_t id, uint16_t sequence,
                                 Address destination, uint32_t arrival) {
    if (m_table == nullptr)
        return;
    uint32_t index = IndexFromEchoId(id);
    CHostItem* host = MatchHost(m_table, index, sequence, destination.bytes, destination.v6);
    if (host == nullptr)
        return;
    host->result.store(type, std::memory_order_relaxed);
    host->icmp_code.store(code, std::memory_order_relaxed);
    host->answer_tick.store(AnswerTick(arrival, host->pending_tick.load(std::memory_order_acquire)),
                            std::memory_order_release);
    CountRun(*host, 0);
    Matched(index, sequence);
}

int ParseIcmpV4(const uint8_t* data, uint32_t length) {
    return IcmpParseBatch().V4(data, length, 0);
}

int ParseIcmpV6(const uint8_t* data, uint32_t length, const in6_addr& sender, int hopLimit) {
    return IcmpParseBatch().V6(data, length, 0, sender, hopLimit);
}

int IcmpParseBatch::V4(const uint8_t* data, uint32_t length, uint32_t arrival) {
    if (data == nullptr || length < 1)
        return -1;
    uint32_t h = 4u * (data[0] & 0x0F);
    if (length < h + kIcmpHeaderSize)
        return -1;
    // A header length below the IPv4 minimum is not an IPv4 datagram; its TTL byte could
    // even lie past the end of a short one.
    if (h < kIpv4MinHeader)
        return 0;
    const uint8_t* icmp = data + h;
    uint8_t type = icmp[0];
    if (type == kIcmpEchoReply) {
        AcceptEchoReply(ReadLe16(icmp + 4), ReadLe16(icmp + 6), {data + kIpv4SourceOffset, false},
                        data[8], arrival);
        return 0;
    }
    if (type > kIcmpLastErrorType)
        return 0;
    // An error quotes the IPv4 header and the first 8 bytes of the datagram it is about.
    const uint8_t* quoted = icmp + kIcmpHeaderSize;
    uint32_t quotedStart = h + kIcmpHeaderSize;
    if (length < quotedStart + 1)
        return 0;
    uint32_t q = 4u * (quoted[0] & 0x0F);
    // The quoted header must hold a destination to compare.
    if (q < kIpv4MinHeader || length < quotedStart + q + kIcmpHeaderSize)
        return 0;
    const uint8_t* request = quoted + q;
    if (request[0] != kIcmpEchoRequest)
        return 0;
    AcceptError(type, icmp[1], ReadLe16(request + 4), ReadLe16(request + 6),
                {quoted + kIpv4DestinationOffset, false}, arrival);
    return 0;
}

int IcmpParseBatch::V6(const uint8_t* data, uint32_t length, uint32_t arrival,
                       const in6_addr& sender, int hopLimit) {
    if (data == nullptr || length < kIcmpHeaderSize)
        return -1;
    uint8_t type = data[0];
    if (type == kIcmp6EchoReply) {
        const uint8_t ttl =
            hopLimit >= 0 && hopLimit <= 255 ? static_cast<uint8_t>(hopLimit) : kIcmp6ReplyTtl;
        AcceptEchoReply(ReadLe16(data + 4), ReadLe16(data + 6), {sender.s6_addr, true}, ttl,
                        arrival);
        return 0;
    }
    if (type > kIcmp6LastErrorType)
        return 0;
    // The quoted packet follows the 8-byte error header: its IPv6 header, then our request.
    const uint32_t requestStart = kIcmpHeaderSize + kIpv6HeaderSize;
    if (length < requestStart + kIcmpHeaderSize)
        return 0;
    const uint8_t* request = data + requestStart;
    if (request[0] != kIcmp6EchoRequest)
        return 0;
    const uint8_t* quotedDestination = data + kIcmpHeaderSize + kIpv6DestinationOffset;
    AcceptError(type, data[1], ReadLe16(request + 4), ReadLe16(request + 6),
                {quotedDestination, true}, arrival);
    return 0;
}
