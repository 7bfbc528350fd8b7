#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CHostItem;
class CSetupInfo;

// The texts of one host row and the host state rule, apart from any window so that they
// can be checked alone. Every text is built in the C locale: a user locale with a decimal
// comma never changes the loss rate. User-interface thread (they read host records that
// the engine threads keep changing; each field is read once per call).

// Longest address text (column 1); longer texts are cut at a character boundary.
constexpr size_t kAddressTextMax = 511;

// One entry of a status-text table: the type's text, its per-code texts (nullptr when
// none) and the highest code that has one.
struct CStatusTextEntry {
    const char* text;
    const char* const* codeTexts;
    int maxCode;
};

// The three tables: results 0x100 to 0x102, ICMP types 0 to 18, ICMPv6 types 0 to 4.
constexpr int kResultTextCount = 3;
constexpr int kIcmpTextCount = 19;
constexpr int kIcmp6TextCount = 5;
extern const CStatusTextEntry g_resultTexts[kResultTextCount];
extern const CStatusTextEntry g_icmpTexts[kIcmpTextCount];
extern const CStatusTextEntry g_icmp6Texts[kIcmp6TextCount];

// Column 1: for a host given by name its host name, " / " and the dotted IPv4 address (the
// address alone while the name is empty); otherwise the IPv6 or dotted IPv4 address,
// followed by " / " and the name a reverse lookup found, when there is one. With
// `dottedAddress` the address part is always the dotted IPv4 address (a re-resolved name).
void FormatAddressText(const CHostItem& host, bool dottedAddress, std::string& out);

// The address alone: the IPv6 text when the host has an IPv6 address, else dotted IPv4.
void FormatBareAddress(const CHostItem& host, std::string& out);

// Column 2 for a host's last outcome: the result text, or the text of the ICMP (or, for
// an IPv6 host, ICMPv6) error type and code; empty before anything was sent.
void FormatStatusText(uint16_t result, uint8_t code, uint32_t sendError, uint32_t sentCount,
                      bool ipv6, std::string& out);

// Column 4: "<min>ms /<max>ms /<avg>ms /<cur>ms", the minimum 0 while no reply came.
void FormatRoundTripText(uint32_t rttMin, uint32_t rttMax, uint32_t rttAvg, uint32_t rttCur,
                         std::string& out);

// A number in decimal.
void FormatDecimal(uint64_t value, std::string& out);

// The loss rate in percent as a 32-bit float; 0 when nothing was sent. `received` must
// not exceed `sent`.
float LostRate(uint32_t sent, uint32_t received);

// The loss-rate text: two decimals and a percent sign ("5.00%", "100.00%").
std::string LostRateText(float rate);

// Writes `text` into the host's fixed lost_rate_text field, cut to fit and terminated.
void StoreLostRateText(CHostItem& host, const std::string& text);

// Host states (also the index of the row image).
constexpr int32_t kStateUp = 0;
constexpr int32_t kStateChanging = 1;
constexpr int32_t kStateDown = 2;
constexpr int32_t kStateLossRate = 4;

// The state a host takes from its run count, up flag and loss rate under `setup`: 1 while
// the consecutive-outcome trigger has not been reached, else 2 when down, else 0; a host
// whose up flag is set and whose loss rate reached the threshold takes 4 (a host whose up
// flag is 0 never does).
int32_t HostStateRule(uint32_t runCount, uint8_t up, float lostRate, const CSetupInfo& setup);

// The same rule without its loss-rate step: 1, 2 or 0 only.
int32_t HostStateBeforeLossRate(uint32_t runCount, uint8_t up, const CSetupInfo& setup);
