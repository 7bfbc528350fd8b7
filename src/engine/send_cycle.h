#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <sys/socket.h>
#include <sys/types.h>

#include "threads/base_thread.h"

class CHostItem;
struct CHostList;

// Bounds of the send thread's period, ms.
constexpr uint32_t kMinSendPeriod = 50;
constexpr uint32_t kMaxSendPeriod = 2000;

// Longest wait of a host given by name, with no address, for the first lookup of its name;
// a name server that does not answer must not keep it from failing.
constexpr uint32_t kNameWaitMs = 30000;

// ICMP and ICMPv6 echo request types.
constexpr uint8_t kIcmpEchoRequest = 8;
constexpr uint8_t kIcmp6EchoRequest = 128;

// Shortest time in ms until the next host is due, lowered by each cycle; the send thread
// takes it as its period. Written by the send thread.
extern std::atomic<uint32_t> g_nextSendDelay;

// The send thread: one send cycle over the host table per DoWork, then sleeps until the
// next host is due (at least 50 ms, at most 2,000 ms).
class csendpingthread : public cmsgthread {
public:
    // Send thread.
    int DoWork() override;
};

// The one send thread, created and owned by the main frame.
extern csendpingthread* g_pSendPingThread;

// One cycle over the table: times out unanswered requests, sends to every due host and
// lowers g_nextSendDelay. Returns 0 after a cycle or when the service is stopped, -1 when
// the notify window refused the cycle, -2 when it answered the end message non-zero.
// Send thread (tests call it directly). Never called with the table's lifetime lock held.
int SendCycle(CHostList* table, int tableNumber);

// Builds and sends one echo request to `host` over ICMPv6 or IPv4; returns the byte count
// the socket accepted, or -1 (the reason is in `send_error`). The caller holds the table's
// lifetime lock shared. Send thread.
int SendEcho(CHostItem* host, int tableNumber, int hostIndex);
int SendEchoV4(CHostItem* host, int tableNumber, int hostIndex);
int SendEchoV6(CHostItem* host, int tableNumber, int hostIndex);

// RFC 1071 Internet checksum of `length` bytes, summed as 16-bit words in machine order;
// the result is stored into a header as it comes out. Any thread.
uint16_t InternetChecksum(const void* bytes, size_t length);
// The same value, summed four bytes at a time in two accumulators. Any thread.
uint16_t InternetChecksumV6(const void* bytes, size_t length);

// Where requests leave: sendto by default. Tests replace it to see every datagram without
// a socket; nullptr restores sendto. Call while no send cycle runs.
using EchoSendFunction = ssize_t (*)(int socket, const void* data, size_t length,
                                     const sockaddr* to, socklen_t toLength);
void SetEchoSendFunction(EchoSendFunction function);
