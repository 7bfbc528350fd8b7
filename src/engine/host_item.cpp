#include "engine/host_item.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "engine/host_list.h"

namespace {

// The echo payload is the letters "a" to "w" repeating, "a" first.
constexpr uint8_t kPatternLetters = 23;

constexpr uint8_t PatternByte(size_t payloadOffset) {
    return static_cast<uint8_t>('a' + payloadOffset % kPatternLetters);
}

// The payload kept inside every record, computed once: records are created by the
// tens of thousands when a setup is loaded.
constexpr auto kInlinePattern = [] {
    std::array<uint8_t, kEchoInlinePayload> bytes{};
    for (uint32_t i = 0; i < kEchoInlinePayload; ++i)
        bytes[i] = PatternByte(i);
    return bytes;
}();

// The shared send buffer's payload never changes, so it is written once, before the first
// record exists, instead of at every record creation: rewriting it later would race with
// the send thread reading it and costs 66 KB per host on a full table.
std::once_flag g_sendPatternOnce;

void FillSendBufferPattern() {
    for (size_t i = kEchoHeaderSize; i < kSendBufferSize; ++i)
        g_sendBuffer[i] = PatternByte(i - kEchoHeaderSize);
}

}  // namespace

CHostItem::CHostItem() {
    addr4.sin_family = AF_INET;
    addr6.sin6_family = AF_INET6;
    std::memcpy(echo + kEchoHeaderSize, kInlinePattern.data(), kInlinePattern.size());
    std::call_once(g_sendPatternOnce, FillSendBufferPattern);
}

CHostItem::~CHostItem() = default;

bool CHostItem::IsIPv6() const {
    uint64_t words[2];
    std::memcpy(words, addr6.sin6_addr.s6_addr, sizeof words);
    return (words[0] | words[1]) != 0;
}

uint32_t CHostItem::LoadAddr4() const {
    // atomic_ref needs a non-const object; the load itself does not write.
    auto& word = const_cast<uint32_t&>(addr4.sin_addr.s_addr);
    return std::atomic_ref<uint32_t>(word).load(std::memory_order_relaxed);
}

void CHostItem::StoreAddr4(uint32_t networkOrder) {
    std::atomic_ref<uint32_t>(addr4.sin_addr.s_addr).store(networkOrder, std::memory_order_relaxed);
}

void CHostItem::SetSentTo(const sockaddr* to) {
    uint32_t v4 = 0;
    uint64_t v6[2] = {0, 0};
    if (to != nullptr && to->sa_family == AF_INET)
        v4 = reinterpret_cast<const sockaddr_in*>(to)->sin_addr.s_addr;
    else if (to != nullptr && to->sa_family == AF_INET6)
        std::memcpy(v6, &reinterpret_cast<const sockaddr_in6*>(to)->sin6_addr, sizeof v6);
    sent_to4.store(v4, std::memory_order_relaxed);
    sent_to6[0].store(v6[0], std::memory_order_relaxed);
    sent_to6[1].store(v6[1], std::memory_order_relaxed);
}

void CHostItem::ResolveIPv6(const char* text) {
    if (!IsIPv6())
        return;
    char buffer[INET6_ADDRSTRLEN] = {};
    if (text == nullptr) {
        if (inet_ntop(AF_INET6, &addr6.sin6_addr, buffer, sizeof(buffer)) == nullptr)
            return;
        text = buffer;
    }
    addrinfo* list = ResolveAddrInfo(text, "0", AF_INET6, 0, 0);
    if (list != nullptr && list->ai_family == AF_INET6 && list->ai_addr != nullptr &&
        list->ai_addrlen >= sizeof(sockaddr_in6)) {
        sockaddr_in6 resolved{};
        std::memcpy(&resolved, list->ai_addr, sizeof(resolved));
        target6 = resolved;
    } else {
        target6.reset();
    }
    if (list != nullptr)
        freeaddrinfo(list);
}
