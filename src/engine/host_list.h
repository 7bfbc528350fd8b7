#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>

#include <netdb.h>

#include "engine/host_item.h"

class MessageTarget;

constexpr int kMaxHosts = 65535;
constexpr int kRowMapSize = 65536;
constexpr size_t kSendBufferSize = 66000;

// The host table. There is one; g_pHostList points to it once CreateHostList ran.
//
// Record lifetime: the send cycle, the receive parser and the name threads hold
// `lifetime` shared while they touch records (never across a blocking call or a sent
// message); everything that destroys records (ClearHostList, delete, import, new
// setup) holds it exclusively, and so do edits of fields the workers read as a whole
// (addresses, host name). Slots are published with release after the record is filled
// and `count` is raised after the slot, so a walker of 0..count-1 meets only full slots.
struct CHostList {
    MessageTarget* notify_wnd = nullptr;
    uint16_t capacity = 0;
    std::atomic<uint8_t> stopped{1};
    std::atomic<uint16_t> count{0};
    std::unique_ptr<std::atomic<CHostItem*>[]> hosts;
    std::shared_mutex lifetime;
    // The sequence every host of the table starts at: a random point per instance, so that
    // two instances watching one host (two users of one machine) never stay in step.
    uint16_t first_seq = 0;

    // The record at `index`, or nullptr for an empty slot or an index at or past count.
    // Any thread holding `lifetime`.
    CHostItem* Host(uint32_t index) const;
};

extern CHostList* g_pHostList;
extern int32_t g_rowToHost[kRowMapSize];
extern int32_t g_rowCount;
// Requests with payloads above 32 bytes are built here: header at 0, payload from 8.
extern uint8_t g_sendBuffer[kSendBufferSize];

// Echo identifier of a host index, and back.
constexpr uint16_t EchoIdFromIndex(uint32_t index) {
    return static_cast<uint16_t>(index + 1025);
}
constexpr uint32_t IndexFromEchoId(uint16_t id) {
    return static_cast<uint16_t>(id - 1025);
}

// Creates the table (capacity below 1 becomes 1). Returns 0, -2 when a table exists,
// -4 when memory is exhausted. User-interface thread.
int CreateHostList(int capacity);
// Destroys every record and detaches the table (g_pHostList becomes nullptr). The emptied
// table object itself is kept, so a worker that still holds it finds no hosts rather than
// freed memory. Program end and tests.
void DestroyHostList();
// Adds a record with the initial values at index count and as the last row; nullptr
// when the table is full or memory is exhausted. The record carries kListUnfilled until
// the caller, having filled it, calls PublishHost. User-interface thread.
CHostItem* AddHost(int table);
// Makes a filled record visible to the worker threads. User-interface thread.
void PublishHost(CHostItem* host);
// capacity - count.
int GetFreeHostSlots(int table);
// Destroys every record, count and g_rowCount to 0. Returns 0 (-1 for a table number
// other than 0, changing nothing). User-interface thread.
int ClearHostList(int table);
// One getaddrinfo call; AI_PASSIVE exactly when `host` is nullptr. The caller frees the
// list with freeaddrinfo. nullptr on any failure. Any thread.
addrinfo* ResolveAddrInfo(const char* host, const char* service, int family, int socktype,
                          int protocol);
