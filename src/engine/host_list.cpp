#include "engine/host_list.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/tick.h"

CHostList* g_pHostList = nullptr;
int32_t g_rowToHost[kRowMapSize] = {};
int32_t g_rowCount = 0;
uint8_t g_sendBuffer[kSendBufferSize] = {};

namespace {

// g_pHostList is set on the user-interface thread and read by the worker threads; the
// engine's own accesses go through atomic_ref so that replacing the table in tests is not
// a data race.
CHostList* LoadTable() {
    return std::atomic_ref<CHostList*>(g_pHostList).load(std::memory_order_acquire);
}

void StoreTable(CHostList* table) {
    std::atomic_ref<CHostList*>(g_pHostList).store(table, std::memory_order_release);
}

// A destroyed table is emptied but its object is kept: a worker that read g_pHostList just
// before it was cleared may still lock the table's mutex and must find count 0, not freed
// memory. Only tests destroy tables, so the few kept objects cost nothing. Reached through
// a pointer that is never freed, so no static destructor runs under a live worker.
std::vector<CHostList*>* g_retiredTables = nullptr;

// Destroys every record; the caller holds `lifetime` exclusively.
void DestroyRecords(CHostList* table) {
    uint16_t count = table->count.load(std::memory_order_relaxed);
    table->count.store(0, std::memory_order_release);
    for (uint32_t i = 0; i < count; ++i) {
        CHostItem* host = table->hosts[i].exchange(nullptr, std::memory_order_acq_rel);
        delete host;
    }
}

}  // namespace

CHostItem* CHostList::Host(uint32_t index) const {
    if (index >= count.load(std::memory_order_acquire))
        return nullptr;
    return hosts[index].load(std::memory_order_acquire);
}

int CreateHostList(int capacity) {
    if (LoadTable() != nullptr)
        return -2;
    if (capacity < 1)
        capacity = 1;
    // The capacity is 16 bits wide; a larger request gets the largest table rather than
    // a truncated one.
    if (capacity > kMaxHosts)
        capacity = kMaxHosts;
    auto* table = new (std::nothrow) CHostList;
    if (table == nullptr)
        return -4;
    table->hosts.reset(new (std::nothrow) std::atomic<CHostItem*>[capacity]);
    if (!table->hosts) {
        delete table;
        return -4;
    }
    for (int i = 0; i < capacity; ++i)
        table->hosts[i].store(nullptr, std::memory_order_relaxed);
    table->capacity = static_cast<uint16_t>(capacity);
    if (getrandom(&table->first_seq, sizeof table->first_seq, GRND_NONBLOCK) !=
        sizeof table->first_seq)
        table->first_seq = static_cast<uint16_t>(getpid() ^ GetTick());
    table->stopped.store(1);
    table->count.store(0);
    table->notify_wnd = nullptr;
    StoreTable(table);
    return 0;
}

void DestroyHostList() {
    CHostList* table = LoadTable();
    g_rowCount = 0;
    if (table == nullptr)
        return;
    {
        std::unique_lock lock(table->lifetime);
        DestroyRecords(table);
        table->notify_wnd = nullptr;
    }
    StoreTable(nullptr);
    if (g_retiredTables == nullptr)
        g_retiredTables = new std::vector<CHostList*>;
    g_retiredTables->push_back(table);
}

CHostItem* AddHost(int table) {
    CHostList* list = LoadTable();
    if (table != 0 || list == nullptr)
        return nullptr;
    uint16_t index = list->count.load(std::memory_order_relaxed);
    if (index >= list->capacity || g_rowCount < 0 || g_rowCount >= kRowMapSize)
        return nullptr;
    auto* host = new (std::nothrow) CHostItem;
    if (host == nullptr)
        return nullptr;
    // The record is new and no other thread knows it yet: a plain store sets the bit.
    host->list_flags.store(kListUnfilled, std::memory_order_relaxed);
    host->seq.store(list->first_seq, std::memory_order_relaxed);
    host->row = static_cast<uint32_t>(g_rowCount);
    list->hosts[index].store(host, std::memory_order_release);
    g_rowToHost[g_rowCount] = index;
    list->count.store(static_cast<uint16_t>(index + 1), std::memory_order_release);
    ++g_rowCount;
    return host;
}

void PublishHost(CHostItem* host) {
    // Only the user-interface thread writes list_flags, so a load and a release store
    // clear the bit as the read-modify-write would, without its locked instruction.
    if (host != nullptr) {
        const uint32_t flags = host->list_flags.load(std::memory_order_relaxed);
        host->list_flags.store(flags & ~kListUnfilled, std::memory_order_release);
    }
}

int GetFreeHostSlots(int table) {
    CHostList* list = LoadTable();
    if (table != 0 || list == nullptr)
        return 0;
    return static_cast<int>(list->capacity) - static_cast<int>(list->count.load());
}

int ClearHostList(int table) {
    if (table != 0)
        return -1;
    CHostList* list = LoadTable();
    if (list != nullptr) {
        std::unique_lock lock(list->lifetime);
        DestroyRecords(list);
    }
    g_rowCount = 0;
    return 0;
}

addrinfo* ResolveAddrInfo(const char* host, const char* service, int family, int socktype,
                          int protocol) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = socktype;
    hints.ai_protocol = protocol;
    if (host == nullptr)
        hints.ai_flags = AI_PASSIVE;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, service, &hints, &list) != 0)
        return nullptr;
    return list;
}
