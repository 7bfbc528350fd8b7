#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include <netinet/in.h>

// Outcome of a host's last request (`result`); below 0x100 it is the type of the ICMP or
// ICMPv6 error that quoted the request.
constexpr uint16_t PING_RESULT_REPLY = 0x100;
constexpr uint16_t PING_RESULT_TIMEOUT = 0x101;
constexpr uint16_t PING_RESULT_SENDFAIL = 0x102;

// `advance` bits.
constexpr uint32_t kAdvanceSuspended = 0x1;
constexpr uint32_t kAdvanceTtlEvent = 0x2;
// `list_flags` bits: either exclusion bit keeps a host out of the send cycle, the name
// re-resolution and the setup writers; bit 2 is the list control's sort mark.
constexpr uint32_t kListExcludeMask = 0x3;
constexpr uint32_t kListSortMark = 0x4;
// Our own bit: set by AddHost, cleared by PublishHost once the caller has filled the
// record. Worker threads skip a host while it is set, so they never see a half-filled
// record; it is never stored.
constexpr uint32_t kListUnfilled = 0x8;
// What the worker threads skip.
constexpr uint32_t kListSkipMask = kListExcludeMask | kListUnfilled;

// The TTL an ICMPv6 reply records when the kernel gives no hop limit; every IPv6 host stored
// it before replies recorded the real one.
constexpr uint8_t kIcmp6ReplyTtl = 128;

// Payload bytes kept inside the record; larger requests are built in g_sendBuffer.
constexpr uint32_t kEchoHeaderSize = 8;
constexpr uint32_t kEchoInlinePayload = 32;

// One monitored host. Created and destroyed on the user-interface thread only (AddHost,
// ClearHostList); the send, receive and name threads touch it under the table's lifetime
// lock (CHostList::lifetime). Fields that worker threads write, or read while the UI
// writes them, are atomics of the width the record gives them; the rest belong to the
// user-interface thread.
class CHostItem {
public:
    CHostItem();
    ~CHostItem();
    CHostItem(const CHostItem&) = delete;
    CHostItem& operator=(const CHostItem&) = delete;

    // True when one of the 16 bytes of addr6 is not zero.
    bool IsIPv6() const;
    // The IPv4 address in network byte order; the name thread rewrites it while the
    // send thread reads it, so both go through these. Any thread.
    uint32_t LoadAddr4() const;
    void StoreAddr4(uint32_t networkOrder);

    // Records where the request being sent goes (`to` nullptr: nowhere). Send thread, before
    // the send, as the request's sequence is written.
    void SetSentTo(const sockaddr* to);
    // Whether `address` (4 bytes, or 16 for IPv6, network byte order) is where the request in
    // flight went. Any thread.
    bool WasSentTo(const uint8_t* address, bool v6) const {
        if (!v6) {
            uint32_t v4;
            std::memcpy(&v4, address, sizeof v4);
            return v4 == sent_to4.load(std::memory_order_relaxed);
        }
        uint64_t words[2];
        std::memcpy(words, address, sizeof words);
        return words[0] == sent_to6[0].load(std::memory_order_relaxed) &&
               words[1] == sent_to6[1].load(std::memory_order_relaxed);
    }

    // Resolves `text` (or the text form of addr6 when nullptr) into target6; does nothing
    // for a host without an IPv6 address. User-interface thread (or a loader).
    void ResolveIPv6(const char* text);

    // Replaces the event placeholders in `text`; returns 0. User-interface thread.
    // Defined with the event texts (alerts).
    int ExpandEventText(std::string& text);

    std::atomic<uint32_t> sent_count{0};
    std::atomic<uint32_t> recv_count{0};
    std::atomic<uint32_t> run_count{0};
    uint64_t rtt_sum = 0;
    float lost_rate = 0.0f;
    char lost_rate_text[32] = {};
    int32_t state = 1;
    uint32_t rtt_min = 0xFFFFFFFF;
    uint32_t rtt_max = 0;
    uint32_t rtt_avg = 0;
    uint32_t rtt_cur = 0;
    sockaddr_in addr4{};
    sockaddr_in6 addr6{};
    // The resolved IPv6 destination, kept by value so that an edit can never free it
    // under the send thread. Empty until resolved.
    std::optional<sockaddr_in6> target6;
    std::string name;
    uint32_t lookup_tick = 0;
    uint32_t looked_up = 0;
    std::string hostname;
    std::string descript;
    std::atomic<uint32_t> interval{1000};
    std::atomic<uint32_t> timeout{2000};
    std::atomic<uint32_t> packetsize{32};
    uint8_t reserved1 = 0;
    int32_t reserved2 = 0;
    uint8_t reserved3 = 0;
    int32_t reserved4 = 0;
    uint16_t mail_group = 0;
    uint16_t mail_priority = 1;
    std::atomic<uint32_t> advance{2};
    int32_t ttl_seen = 0;
    int32_t reserved5 = 0;
    int32_t reserved6 = 0;
    int32_t reserved7 = 0;
    int32_t reserved8 = 0;
    int32_t reserved9 = 0;
    std::string reserved_text1;
    std::string reserved_text2;
    std::string reserved_text3;
    std::string reserved_text4;
    std::string reserved_text5;
    std::string reserved_text6;
    std::string reserved_text7;
    std::string reserved_text8;
    uint8_t name_host = 0;
    uint8_t ip_to_name = 0;
    uint8_t notify_down = 1;
    uint8_t notify_up = 1;
    std::atomic<uint16_t> result{0};
    std::atomic<uint8_t> icmp_code{0};
    uint8_t notified_state = 0;
    std::atomic<uint8_t> up{0};
    std::atomic<uint8_t> ttl{0};
    std::atomic<uint16_t> seq{258};
    std::atomic<uint32_t> send_error{0};
    // The request under construction: 8-byte echo header and 32 payload bytes. Send
    // thread only.
    uint8_t echo[kEchoHeaderSize + kEchoInlinePayload] = {};
    std::atomic<uint32_t> sent_tick{0};
    std::atomic<uint32_t> pending_tick{0};
    std::atomic<uint32_t> answer_tick{0};
    // Our own, never stored: the destination of the request in flight, 0 (::) in the other
    // family. Answers are matched against it rather than the host's current address, so an
    // address the name thread changes never drops the answer already on its way. The send
    // thread writes it only for a new request, after the sequence of the one before has
    // moved on: a parser that matched the sequence reads a settled address.
    std::atomic<uint32_t> sent_to4{0};
    std::atomic<uint64_t> sent_to6[2] = {};
    uint32_t row = 0;
    std::atomic<uint32_t> list_flags{0};
    // Our own, never stored: 1 once a lookup of `hostname` has finished in this run, found
    // or not (the name thread's, or the host dialog's). A host given by name without an
    // address is not due before, for at most kNameWaitMs.
    std::atomic<uint8_t> name_resolved{0};
    // Our own, never stored: when the send cycle first found the host given by name waiting,
    // without an address, for that lookup (0: not yet). Send thread only.
    uint32_t name_wait_tick = 0;
    std::string rtt_text;
    std::string event_text;
};
