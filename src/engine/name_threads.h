#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "threads/base_thread.h"

class MessageTarget;

// How the name threads reach the resolver. The real one blocks in getaddrinfo and
// getnameinfo; tests install their own to make addresses change. Any thread.
class NameResolver {
public:
    virtual ~NameResolver() = default;
    // The first IPv4 address of `hostname`, network byte order; nullopt when it does not
    // resolve.
    virtual std::optional<uint32_t> ResolveIPv4(const std::string& hostname) = 0;
    // The name of an IPv4 address given in network byte order; nullopt when it has none.
    virtual std::optional<std::string> LookupName(uint32_t address) = 0;
};

// The resolver over getaddrinfo / getnameinfo (a name is required of a reverse lookup).
NameResolver& SystemNameResolver();
// Installs the resolver the name threads use (nullptr: the system one). The object must
// outlive its use. Any thread; takes effect at the next lookup.
void SetNameResolver(NameResolver* resolver);
NameResolver& CurrentNameResolver();

// Re-resolves every 10 seconds each IPv4 host given by name and sends WM_HOST_ADDRESS to
// g_hHostListWnd when its address changed.
class cDNSthread : public ceventthread {
public:
    // Name re-resolution thread. Holds no record while it waits for the resolver.
    int DoWork() override;
};

constexpr uint32_t kDnsPeriod = 10000;

// Set by the main frame while the thread exists.
extern cDNSthread* g_pDNSThread;
// The host list control: the window that shows a host's new address. Set by the UI before
// the name thread starts; read by the name thread.
extern std::atomic<MessageTarget*> g_hHostListWnd;

constexpr uint32_t kLookupNameSize = 64;

// One reverse lookup slot. The view fills `owner`, `addr` and `host_index` of a free slot
// (addr 0) and triggers it; the thread writes `name` and sends WM_LOOKUP_DONE(slot) to
// `owner`; the view takes the name inside that message and frees the slot (addr 0).
class clookupthread : public cmsgthread {
public:
    clookupthread();
    // Lookup thread.
    int DoWork() override;

    MessageTarget* owner = nullptr;
    uint16_t slot = 0;
    std::atomic<uint32_t> addr{0};
    char name[kLookupNameSize] = {};
    uint16_t host_index = 0;
};

// The two lookup slots; their threads exist, suspended, from program start. The objects are
// never destroyed: the exit path does not wait for their threads, and a program ended by
// exit() (as Qt does when the display connection breaks) would otherwise destroy them under
// threads that still wait on them, and hang there for good.
extern clookupthread (&g_lookupThreads)[2];
