#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>

#include <netinet/in.h>

#include "platform/message_target.h"

struct CHostList;

// Matching of received ICMP and ICMPv6 datagrams to the host table (g_pHostList): an echo
// reply, or an error that quotes one of our echo requests, is recorded in its host's record
// and reported to the table's notify window with WM_PING_REPLY(host index, sequence).
// An answer is a host's only when identifier, sequence and address all match: a reply must
// come from the address its request went to, an error must quote a request to it. Every raw socket
// of the machine sees every reply, and other pingers use the same identifiers. Anything
// else (foreign, malformed, late, stale) changes nothing and posts nothing.
// They run on the receive thread; they hold the table's lifetime lock shared while they
// touch a record and post (so a window detached under the exclusive lock gets no further
// post), and never read outside [data, data + length).

// One datagram of the IPv4 socket: IPv4 header, then the ICMP message. Returns -1 for a
// datagram too short to hold an ICMP header, else 0.
int ParseIcmpV4(const uint8_t* data, uint32_t length);

// One message of the ICMPv6 socket (no IPv6 header) from `sender`, which arrived with
// `hopLimit` (-1 when the kernel did not say; the record then keeps 128). Returns -1 for a
// message shorter than 8 bytes, else 0.
int ParseIcmpV6(const uint8_t* data, uint32_t length, const in6_addr& sender, int hopLimit = -1);

// Datagrams parsed as ParseIcmpV4 and ParseIcmpV6 do, as one batch: the table's lifetime lock
// is taken once for all of them, and their WM_PING_REPLY messages reach the notify window
// together, in order, when the batch ends, so the view's thread is woken once per burst
// rather than once per datagram. Lives on the receive thread's stack for one burst of
// datagrams that are already in; never across a wait.
class IcmpParseBatch {
public:
    IcmpParseBatch();
    // Posts the gathered replies, then lets the lock go.
    ~IcmpParseBatch();
    IcmpParseBatch(const IcmpParseBatch&) = delete;
    IcmpParseBatch& operator=(const IcmpParseBatch&) = delete;

    // `arrival` is the tick at which the datagram reached the socket, which the record keeps
    // as the answer's tick; 0 takes the tick now, as the single-datagram parsers do.
    int V4(const uint8_t* data, uint32_t length, uint32_t arrival);
    int V6(const uint8_t* data, uint32_t length, uint32_t arrival, const in6_addr& sender,
           int hopLimit);

private:
    static constexpr size_t kMaxReplies = 64;

    // An address as the datagram carries it, network byte order: 4 bytes, or 16 for IPv6.
    struct Address {
        const uint8_t* bytes;
        bool v6;
    };

    void AcceptEchoReply(uint16_t id, uint16_t sequence, Address source, uint8_t ttl,
                         uint32_t arrival);
    void AcceptError(uint8_t type, uint8_t code, uint16_t id, uint16_t sequence,
                     Address destination, uint32_t arrival);
    void Matched(uint32_t index, uint16_t sequence);
    void Flush();

    CHostList* m_table;
    std::shared_lock<std::shared_mutex> m_lifetime;
    PostedMessage m_replies[kMaxReplies];
    size_t m_count = 0;
};
