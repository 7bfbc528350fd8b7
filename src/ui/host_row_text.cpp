#include "ui/host_row_text.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include <arpa/inet.h>

#include "alerts/event_text.h"
#include "config/setup_info.h"
#include "engine/host_item.h"

namespace {

const char* const kUnreachableCodes[] = {
    "Destination network unreachable",
    "Destination host unreachable",
    "Destination protocol unreachable",
    "Destination port unreachable",
    "Fragmentation required, and DF flag set",
    "Source route failed",
    "Destination network unknown",
    "Destination host unknown",
    "Source host isolated",
    "Network administratively prohibited",
    "Host administratively prohibited",
    "Network unreachable for TOS",
    "Host unreachable for TOS",
    "Communication administratively prohibited",
};
const char* const kRedirectCodes[] = {
    "Redirect Datagram for the Network",
    "Redirect Datagram for the Host",
    "Redirect Datagram for the TOS & network",
    "Redirect Datagram for the TOS & host",
};
const char* const kTimeExceededCodes[] = {
    "TTL expired in transit",
    "Fragment reassembly time exceeded",
};
const char* const kParameterCodes[] = {
    "Pointer indicates the error",
    "Missing a required option",
    "Bad length",
};

const char* const kUnreachable6Codes[] = {
    "no route to destination", "communication with destination administratively prohibited",
    "(not assigned)",          "address unreachable",
    "port unreachable",
};
const char* const kTooBig6Codes[] = {
    "Set to 0 (zero) by the sender and ignored by the receiver",
};
const char* const kTimeExceeded6Codes[] = {
    "hop limit exceeded in transit",
    "fragment reassembly time exceeded",
};
const char* const kParameter6Codes[] = {
    "erroneous header field encountered",
    "unrecognized Next Header type encountered",
    "unrecognized IPv6 option encountered",
};

template <size_t N>
constexpr CStatusTextEntry WithCodes(const char* text, const char* const (&codes)[N]) {
    return {text, codes, static_cast<int>(N) - 1};
}
constexpr CStatusTextEntry Plain(const char* text) {
    return {text, nullptr, -1};
}

constexpr const char* kUnknownType = "Unknown code : ";

void AppendSigned(std::string& out, int64_t value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

void AppendDotted(std::string& out, uint32_t networkOrder) {
    in_addr address{};
    address.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    out.append(text);
}

void AppendIPv6(std::string& out, const CHostItem& host) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &host.addr6.sin6_addr, text, sizeof text);
    out.append(text);
}

// Cuts `out` to at most `limit` bytes without splitting a UTF-8 sequence.
void CutText(std::string& out, size_t limit) {
    if (out.size() <= limit)
        return;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(out[end]) & 0xC0) == 0x80)
        --end;
    out.resize(end);
}

}  // namespace

const CStatusTextEntry g_resultTexts[kResultTextCount] = {
    Plain("Request get reply"),
    Plain("Request timed out"),
    Plain("Send ping failed, error code is "),
};

const CStatusTextEntry g_icmpTexts[kIcmpTextCount] = {
    Plain("Request get reply"),
    Plain("type is 1"),
    Plain("type is 2"),
    WithCodes("Destination Unreachable", kUnreachableCodes),
    Plain("Source quench (congestion control)"),
    WithCodes("Redirect Message", kRedirectCodes),
    Plain("Alternate Host Address"),
    Plain("type is 7"),
    Plain("Echo Request"),
    Plain("Router Advertisement"),
    Plain("Router discovery/selection/solicitation"),
    WithCodes("TTL expired in transit", kTimeExceededCodes),
    WithCodes("Parameter Problem: Bad IP header", kParameterCodes),
    Plain("Timestamp"),
    Plain("Timestamp reply"),
    Plain("Information Request"),
    Plain("Information Reply"),
    Plain("Address Mask Request"),
    Plain("Address Mask Reply"),
};

// ICMPv6 has no type 0. An IPv6 host whose first request is still out keeps result 0, and
// nothing is known about it yet: its cell stays empty, as before its first request.
const CStatusTextEntry g_icmp6Texts[kIcmp6TextCount] = {
    Plain(nullptr),
    WithCodes("Destination Unreachable", kUnreachable6Codes),
    WithCodes("Packet Too Big", kTooBig6Codes),
    WithCodes("Time Exceeded", kTimeExceeded6Codes),
    WithCodes("Parameter Problem", kParameter6Codes),
};

void FormatBareAddress(const CHostItem& host, std::string& out) {
    out.clear();
    if (host.IsIPv6())
        AppendIPv6(out, host);
    else
        AppendDotted(out, host.LoadAddr4());
}

void FormatAddressText(const CHostItem& host, bool dottedAddress, std::string& out) {
    out.clear();
    if (host.name_host != 0) {
        if (!host.hostname.empty()) {
            out.append(host.hostname);
            out.append(" / ");
        }
        AppendDotted(out, host.LoadAddr4());
    } else {
        if (!dottedAddress && host.IsIPv6())
            AppendIPv6(out, host);
        else
            AppendDotted(out, host.LoadAddr4());
        if (!host.hostname.empty()) {
            out.append(" / ");
            out.append(host.hostname);
        }
    }
    CutText(out, kAddressTextMax);
}

void FormatStatusText(uint16_t result, uint8_t code, uint32_t sendError, uint32_t sentCount,
                      bool ipv6, std::string& out) {
    out.clear();
    if (result == PING_RESULT_SENDFAIL) {
        out.append(g_resultTexts[2].text);
        out.push_back(' ');
        AppendSigned(out, static_cast<int32_t>(sendError));
        return;
    }
    if (result >= PING_RESULT_REPLY) {
        if (result - PING_RESULT_REPLY < kResultTextCount)
            out.append(g_resultTexts[result - PING_RESULT_REPLY].text);
        return;
    }
    if (sentCount == 0)
        return;
    const CStatusTextEntry* table = ipv6 ? g_icmp6Texts : g_icmpTexts;
    const int size = ipv6 ? kIcmp6TextCount : kIcmpTextCount;
    if (result >= size) {
        out.append(kUnknownType);
        out.push_back(' ');
        AppendSigned(out, result);
        out.append(" : ");
        AppendSigned(out, code);
        return;
    }
    const CStatusTextEntry& entry = table[result];
    if (entry.text == nullptr)
        return;
    if (entry.codeTexts != nullptr && code <= entry.maxCode) {
        out.append(entry.codeTexts[code]);
        return;
    }
    out.append(entry.text);
    out.append(" , code is ");
    AppendSigned(out, code);
}

void FormatRoundTripText(uint32_t rttMin, uint32_t rttMax, uint32_t rttAvg, uint32_t rttCur,
                         std::string& out) {
    out.clear();
    AppendSigned(out, rttMin == 0xFFFFFFFF ? 0 : rttMin);
    out.append("ms /");
    AppendSigned(out, rttMax);
    out.append("ms /");
    AppendSigned(out, rttAvg);
    out.append("ms /");
    AppendSigned(out, rttCur);
    out.append("ms");
}

void FormatDecimal(uint64_t value, std::string& out) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.assign(digits, result.ptr);
}

float LostRate(uint32_t sent, uint32_t received) {
    if (sent == 0)
        return 0.0f;
    const float lost = static_cast<float>(sent - received);
    return (lost * 100.0f) / static_cast<float>(sent);
}

std::string LostRateText(float rate) {
    return FormatTwoDecimals(rate) + "%";
}

void StoreLostRateText(CHostItem& host, const std::string& text) {
    const size_t length = std::min(text.size(), sizeof(host.lost_rate_text) - 1);
    std::memcpy(host.lost_rate_text, text.data(), length);
    host.lost_rate_text[length] = '\0';
}

int32_t HostStateBeforeLossRate(uint32_t runCount, uint8_t up, const CSetupInfo& setup) {
    if (setup.needlostcount != 0 && runCount < static_cast<uint32_t>(setup.continuelost))
        return kStateChanging;
    return up == 0 ? kStateDown : kStateUp;
}

int32_t HostStateRule(uint32_t runCount, uint8_t up, float lostRate, const CSetupInfo& setup) {
    const int32_t state = HostStateBeforeLossRate(runCount, up, setup);
    // Only a host that answers is judged by its loss rate. A host whose failures have not
    // yet reached the count (a new host that never answered has lost 100 %) would otherwise
    // be announced for its loss rate before it is announced down.
    if (up == 0)
        return state;
    const float threshold = static_cast<float>(static_cast<uint32_t>(setup.lostrate));
    if (setup.needlostrate != 0 && lostRate >= threshold)
        return kStateLossRate;
    return state;
}
