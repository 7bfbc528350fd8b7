#include "engine/name_threads.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "engine/engine_messages.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "platform/message_target.h"

cDNSthread* g_pDNSThread = nullptr;
std::atomic<MessageTarget*> g_hHostListWnd{nullptr};
clookupthread (&g_lookupThreads)[2] = *new clookupthread[1][2];

namespace {

class CSystemNameResolver : public NameResolver {
public:
    std::optional<uint32_t> ResolveIPv4(const std::string& hostname) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_RAW;
        hints.ai_protocol = IPPROTO_ICMP;
        addrinfo* list = nullptr;
        if (getaddrinfo(hostname.c_str(), nullptr, &hints, &list) != 0 || list == nullptr)
            return std::nullopt;
        std::optional<uint32_t> first;
        for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
                sockaddr_in address;
                std::memcpy(&address, entry->ai_addr, sizeof address);
                first = address.sin_addr.s_addr;
                break;
            }
        }
        freeaddrinfo(list);
        return first;
    }

    std::optional<std::string> LookupName(uint32_t address) override {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = address;
        char host[NI_MAXHOST];
        // A name is required: the text form of the address is no answer.
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&from), sizeof from, host, sizeof host,
                        nullptr, 0, NI_NAMEREQD) != 0)
            return std::nullopt;
        return std::string(host);
    }
};

std::atomic<NameResolver*> g_resolver{nullptr};

// The host's name to resolve, copied under the lifetime lock, or nullopt when the host is
// not one the re-resolution looks at.
std::optional<std::string> NameToResolve(CHostList* table, uint32_t index, CHostItem** host) {
    std::shared_lock<std::shared_mutex> lifetime(table->lifetime);
    CHostItem* item = table->Host(index);
    if (item == nullptr || item->name_host == 0 || (item->list_flags.load() & kListSkipMask) != 0)
        return std::nullopt;
    *host = item;
    return item->hostname;
}

// Records that a lookup of `hostname` has finished, and stores the address it found when
// that differs, as long as the host at `index` is still the record and name that were
// looked up; true when the address changed.
bool RecordLookup(CHostList* table, uint32_t index, CHostItem* host, const std::string& hostname,
                  std::optional<uint32_t> address) {
    std::shared_lock<std::shared_mutex> lifetime(table->lifetime);
    CHostItem* item = table->Host(index);
    if (item != host || item->name_host == 0 || item->hostname != hostname)
        return false;
    item->name_resolved.store(1);
    if (!address || *address == INADDR_NONE || item->LoadAddr4() == *address)
        return false;
    item->StoreAddr4(*address);
    return true;
}

}  // namespace

NameResolver& SystemNameResolver() {
    static CSystemNameResolver resolver;
    return resolver;
}

void SetNameResolver(NameResolver* resolver) {
    g_resolver.store(resolver, std::memory_order_release);
}

NameResolver& CurrentNameResolver() {
    NameResolver* resolver = g_resolver.load(std::memory_order_acquire);
    return resolver != nullptr ? *resolver : SystemNameResolver();
}

int cDNSthread::DoWork() {
    CHostList* table = std::atomic_ref<CHostList*>(g_pHostList).load(std::memory_order_acquire);
    if (table == nullptr)
        return 0;
    const uint32_t count = table->count.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < count; ++i) {
        // A long list of slow names must not hold up the program's exit.
        if (stop.load() != 0)
            break;
        CHostItem* host = nullptr;
        std::optional<std::string> hostname = NameToResolve(table, i, &host);
        if (!hostname)
            continue;
        // A host named by a dotted address keeps that address.
        std::optional<uint32_t> address;
        if (inet_addr(hostname->c_str()) == INADDR_NONE)
            address = CurrentNameResolver().ResolveIPv4(*hostname);
        if (!RecordLookup(table, i, host, *hostname, address))
            continue;
        // Sent after the lock is released: the control's handler may need it exclusively.
        // The handler checks that the record is still in the table before it uses it.
        if (MessageTarget* window = g_hHostListWnd.load())
            window->Send(WM_HOST_ADDRESS, reinterpret_cast<WPARAM>(host), 0);
    }
    return 0;
}

clookupthread::clookupthread() = default;

int clookupthread::DoWork() {
    const uint32_t address = addr.load();
    // A free slot has nothing to look up and nobody waiting for an answer.
    if (address == 0)
        return 0;
    std::optional<std::string> found = CurrentNameResolver().LookupName(address);
    std::memset(name, 0, sizeof name);
    if (found)
        std::memcpy(name, found->data(), std::min<size_t>(found->size(), kLookupNameSize - 1));
    if (owner != nullptr)
        owner->Send(WM_LOOKUP_DONE, static_cast<WPARAM>(slot), 0);
    return 0;
}
