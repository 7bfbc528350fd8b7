#pragma once

#include <cstdint>

// Matching of received ICMP and ICMPv6 datagrams to the host table (g_pHostList): an echo
// reply, or an error that quotes one of our echo requests, is recorded in its host's record
// and reported to the table's notify window with WM_PING_REPLY(host index, sequence).
// Anything else (foreign, malformed, late, stale) changes nothing and posts nothing.
// Both run on the receive thread; they hold the table's lifetime lock shared while they
// touch a record and post (so a window detached under the exclusive lock gets no further
// post), and never read outside [data, data + length).

// One datagram of the IPv4 socket: IPv4 header, then the ICMP message. Returns -1 for a
// datagram too short to hold an ICMP header, else 0.
int ParseIcmpV4(const uint8_t* data, uint32_t length);

// One message of the ICMPv6 socket (no IPv6 header). Returns -1 for a message shorter than
// 8 bytes, else 0.
int ParseIcmpV6(const uint8_t* data, uint32_t length);
