#include "engine/icmp_test_support.h"

#include "engine/engine_messages.h"

namespace icmptest {

bool RecordingTarget::Post(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.push_back({msg, wParam, lParam});
    return true;
}

bool RecordingTarget::PostBatch(const PostedMessage* messages, size_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_batches;
    for (size_t i = 0; i < count; ++i)
        m_messages.push_back({messages[i].msg, messages[i].wParam, messages[i].lParam});
    return true;
}

size_t RecordingTarget::Batches() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_batches;
}

std::optional<LRESULT> RecordingTarget::Send(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    Post(msg, wParam, lParam);
    return 0;
}

std::vector<RecordingTarget::Message> RecordingTarget::Messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

size_t RecordingTarget::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages.size();
}

bool RecordingTarget::HasReply(uint32_t index, uint16_t sequence) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Message& m : m_messages) {
        if (m.msg == WM_PING_REPLY && m.wParam == index && m.lParam == sequence)
            return true;
    }
    return false;
}

void RecordingTarget::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}

uint16_t Checksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2)
        sum += static_cast<uint32_t>(data[i] | (data[i + 1] << 8));
    if (i < length)
        sum += data[i];
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> EchoMessage(uint8_t type, uint16_t id, uint16_t sequence, size_t payload) {
    std::vector<uint8_t> m(8 + payload);
    m[0] = type;
    m[4] = static_cast<uint8_t>(id & 0xFF);
    m[5] = static_cast<uint8_t>(id >> 8);
    m[6] = static_cast<uint8_t>(sequence & 0xFF);
    m[7] = static_cast<uint8_t>(sequence >> 8);
    for (size_t i = 0; i < payload; ++i)
        m[8 + i] = static_cast<uint8_t>('a' + i % 23);
    uint16_t sum = Checksum(m.data(), m.size());
    m[2] = static_cast<uint8_t>(sum & 0xFF);
    m[3] = static_cast<uint8_t>(sum >> 8);
    return m;
}

std::vector<uint8_t> Ipv4Datagram(const std::vector<uint8_t>& icmp, uint8_t ttl,
                                  uint8_t headerWords) {
    size_t header = 4u * headerWords;
    std::vector<uint8_t> d(header + icmp.size());
    size_t total = d.size();
    d[0] = static_cast<uint8_t>(0x40 | (headerWords & 0x0F));
    d[2] = static_cast<uint8_t>(total >> 8);
    d[3] = static_cast<uint8_t>(total & 0xFF);
    d[8] = ttl;
    d[9] = 1;  // ICMP
    d[12] = 127;
    d[15] = 1;
    d[16] = 127;
    d[19] = 1;
    for (size_t i = 0; i < icmp.size(); ++i)
        d[header + i] = icmp[i];
    return d;
}

std::vector<uint8_t> Icmp4Error(uint8_t type, uint8_t code, const std::vector<uint8_t>& quoted,
                                uint8_t quotedHeaderWords) {
    std::vector<uint8_t> inner = Ipv4Datagram(quoted, 1, quotedHeaderWords);
    std::vector<uint8_t> m(8 + inner.size());
    m[0] = type;
    m[1] = code;
    for (size_t i = 0; i < inner.size(); ++i)
        m[8 + i] = inner[i];
    return m;
}

std::vector<uint8_t> Icmp6Error(uint8_t type, uint8_t code, const std::vector<uint8_t>& quoted) {
    std::vector<uint8_t> m(8 + 40 + quoted.size());
    m[0] = type;
    m[1] = code;
    m[8] = 0x60;
    m[8 + 6] = 58;  // next header: ICMPv6
    m[8 + 7] = 1;   // hop limit
    m[8 + 39] = 1;  // destination ::1
    for (size_t i = 0; i < quoted.size(); ++i)
        m[48 + i] = quoted[i];
    return m;
}

}  // namespace icmptest
