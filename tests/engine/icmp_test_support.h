#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/message_target.h"

namespace icmptest {

// A message target that records what the engine posts. Any thread.
class RecordingTarget : public MessageTarget {
public:
    struct Message {
        uint32_t msg;
        WPARAM wParam;
        LPARAM lParam;
    };

    bool Post(uint32_t msg, WPARAM wParam, LPARAM lParam) override;
    // Records the messages, and counts the batch.
    bool PostBatch(const PostedMessage* messages, size_t count) override;
    std::optional<LRESULT> Send(uint32_t msg, WPARAM wParam, LPARAM lParam) override;

    std::vector<Message> Messages() const;
    size_t Count() const;
    // True once WM_PING_REPLY(index, sequence) was posted.
    bool HasReply(uint32_t index, uint16_t sequence) const;
    void Clear();
    // PostBatch calls so far.
    size_t Batches() const;

private:
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
    size_t m_batches = 0;
};

uint16_t Checksum(const uint8_t* data, size_t length);

// An echo request or reply message (no IP header): type, code, checksum, identifier and
// sequence least significant byte first, then `payload` bytes of the "a".."w" pattern.
std::vector<uint8_t> EchoMessage(uint8_t type, uint16_t id, uint16_t sequence, size_t payload = 32);

// An IPv4 datagram as the raw socket delivers it: a header of `headerWords` 32-bit words
// (options zero) with `ttl`, then `icmp`.
std::vector<uint8_t> Ipv4Datagram(const std::vector<uint8_t>& icmp, uint8_t ttl = 64,
                                  uint8_t headerWords = 5);

// An ICMP error (IPv4) of `type` and `code` quoting an IPv4 datagram that carried `quoted`.
std::vector<uint8_t> Icmp4Error(uint8_t type, uint8_t code, const std::vector<uint8_t>& quoted,
                                uint8_t quotedHeaderWords = 5);

// An ICMPv6 error quoting an IPv6 packet (40-byte header) to ::1 that carried `quoted`.
std::vector<uint8_t> Icmp6Error(uint8_t type, uint8_t code, const std::vector<uint8_t>& quoted);

}  // namespace icmptest
