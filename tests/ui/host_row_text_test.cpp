#include "ui/host_row_text.h"

#include <cstdio>
#include <string>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "common/foreign_locale.h"
#include "config/setup_info.h"
#include "engine/host_item.h"

namespace {

std::string Status(uint16_t result, uint8_t code = 0, bool ipv6 = false, uint32_t sent = 1,
                   uint32_t sendError = 0) {
    std::string out = "stale";
    FormatStatusText(result, code, sendError, sent, ipv6, out);
    return out;
}

void SetIPv4(CHostItem& host, const char* text) {
    host.addr4.sin_family = AF_INET;
    inet_pton(AF_INET, text, &host.addr4.sin_addr);
}

void SetIPv6(CHostItem& host, const char* text) {
    host.addr6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &host.addr6.sin6_addr);
}

std::string Address(const CHostItem& host, bool dotted = false) {
    std::string out = "stale";
    FormatAddressText(host, dotted, out);
    return out;
}

TEST(HostStatusText, Results) {
    EXPECT_EQ(Status(PING_RESULT_REPLY), "Request get reply");
    EXPECT_EQ(Status(PING_RESULT_TIMEOUT), "Request timed out");
    // "%s %d": the table text ends in a blank, so two blanks come before the number.
    EXPECT_EQ(Status(PING_RESULT_SENDFAIL, 0, false, 1, 113),
              "Send ping failed, error code is  113");
    EXPECT_EQ(Status(PING_RESULT_SENDFAIL, 0, false, 1, 0xFFFFFFFF),
              "Send ping failed, error code is  -1");
    // Results are shown even before anything counts as sent (counters just cleared).
    EXPECT_EQ(Status(PING_RESULT_TIMEOUT, 0, false, 0), "Request timed out");
    EXPECT_EQ(Status(0x1FF), "");
}

TEST(HostStatusText, IcmpErrors) {
    // Nothing sent yet: the cell stays empty whatever the result says.
    EXPECT_EQ(Status(3, 1, false, 0), "");
    EXPECT_EQ(Status(3, 1), "Destination host unreachable");
    EXPECT_EQ(Status(3, 13), "Communication administratively prohibited");
    // Past the highest code with a text: the type's text with the code.
    EXPECT_EQ(Status(3, 15), "Destination Unreachable , code is 15");
    EXPECT_EQ(Status(8, 0), "Echo Request , code is 0");
    EXPECT_EQ(Status(0, 0), "Request get reply , code is 0");
    EXPECT_EQ(Status(5, 3), "Redirect Datagram for the TOS & host");
    EXPECT_EQ(Status(5, 4), "Redirect Message , code is 4");
    EXPECT_EQ(Status(11, 1), "Fragment reassembly time exceeded");
    EXPECT_EQ(Status(12, 2), "Bad length");
    EXPECT_EQ(Status(12, 3), "Parameter Problem: Bad IP header , code is 3");
    EXPECT_EQ(Status(18, 255), "Address Mask Reply , code is 255");
    // Beyond the table: "%s %d : %d" with a text that ends in a blank.
    EXPECT_EQ(Status(19, 0), "Unknown code :  19 : 0");
}

TEST(HostStatusText, Icmp6Errors) {
    EXPECT_EQ(Status(1, 4, true), "port unreachable");
    EXPECT_EQ(Status(1, 5, true), "Destination Unreachable , code is 5");
    EXPECT_EQ(Status(2, 0, true), "Set to 0 (zero) by the sender and ignored by the receiver");
    EXPECT_EQ(Status(2, 1, true), "Packet Too Big , code is 1");
    EXPECT_EQ(Status(4, 2, true), "unrecognized IPv6 option encountered");
    EXPECT_EQ(Status(4, 3, true), "Parameter Problem , code is 3");
    // The ICMP table's types beyond 4 are unknown for an IPv6 host.
    EXPECT_EQ(Status(11, 0, true), "Unknown code :  11 : 0");
    // Type 0 does not exist in ICMPv6: a first request still out shows nothing.
    EXPECT_EQ(Status(0, 0, true), "");
}

TEST(HostAddressText, EveryForm) {
    CHostItem host;
    SetIPv4(host, "192.0.2.7");
    EXPECT_EQ(Address(host), "192.0.2.7");
    host.hostname = "printer.example";
    EXPECT_EQ(Address(host), "192.0.2.7 / printer.example");

    // Given by name: the name first; the address alone while the name is empty.
    host.name_host = 1;
    EXPECT_EQ(Address(host), "printer.example / 192.0.2.7");
    host.hostname.clear();
    EXPECT_EQ(Address(host), "192.0.2.7");

    CHostItem v6;
    SetIPv6(v6, "2001:db8::1");
    EXPECT_EQ(Address(v6), "2001:db8::1");
    v6.hostname = "six";
    EXPECT_EQ(Address(v6), "2001:db8::1 / six");
    // A re-resolved name always shows the dotted address.
    EXPECT_EQ(Address(v6, true), "0.0.0.0 / six");

    std::string bare;
    FormatBareAddress(v6, bare);
    EXPECT_EQ(bare, "2001:db8::1");
    FormatBareAddress(host, bare);
    EXPECT_EQ(bare, "192.0.2.7");
}

TEST(HostAddressText, LongNamesAreCutWithoutSplittingACharacter) {
    CHostItem host;
    SetIPv4(host, "127.0.0.1");
    host.name_host = 1;
    host.hostname = std::string(600, 'a');
    EXPECT_EQ(Address(host), std::string(kAddressTextMax, 'a'));

    // "ä" is two bytes; one of them would be the 511th.
    host.hostname = std::string(510, 'b') + "\xC3\xA4" + "tail";
    EXPECT_EQ(Address(host), std::string(510, 'b'));
}

TEST(HostRowNumbers, RoundTripText) {
    std::string text;
    FormatRoundTripText(0xFFFFFFFF, 0, 0, 0, text);
    EXPECT_EQ(text, "0ms /0ms /0ms /0ms");
    FormatRoundTripText(12, 40, 18, 15, text);
    EXPECT_EQ(text, "12ms /40ms /18ms /15ms");
    FormatRoundTripText(4000000000u, 4000000001u, 1, 0, text);
    EXPECT_EQ(text, "4000000000ms /4000000001ms /1ms /0ms");
}

TEST(HostRowNumbers, LostRate) {
    EXPECT_EQ(LostRate(0, 0), 0.0f);
    EXPECT_EQ(LostRate(20, 19), 5.0f);
    EXPECT_EQ(LostRate(20, 0), 100.0f);
    EXPECT_EQ(LostRateText(LostRate(20, 19)), "5.00%");
    EXPECT_EQ(LostRateText(LostRate(3, 1)), "66.67%");
    EXPECT_EQ(LostRateText(LostRate(7, 0)), "100.00%");
    // Counts near the top of 32 bits are converted as unsigned values.
    EXPECT_EQ(LostRateText(LostRate(0xFFFFFFFF, 0)), "100.00%");

    CHostItem host;
    StoreLostRateText(host, "100.00%");
    EXPECT_STREQ(host.lost_rate_text, "100.00%");
    StoreLostRateText(host, std::string(100, '9'));
    EXPECT_EQ(std::string(host.lost_rate_text), std::string(sizeof host.lost_rate_text - 1, '9'));
}

TEST(HostRowNumbers, TextsStayFixedUnderAForeignLocale) {
    testsupport::ScopedForeignLocale locale;
    if (!locale.active())
        GTEST_SKIP() << "localedef could not build de_DE.UTF-8 (package locales missing?)";
    // Proves the locale is really active: printf now writes a decimal comma.
    char probe[32];
    std::snprintf(probe, sizeof probe, "%.2f", 5.0);
    ASSERT_STREQ(probe, "5,00");

    EXPECT_EQ(LostRateText(LostRate(20, 19)), "5.00%");
    EXPECT_EQ(LostRateText(LostRate(3, 1)), "66.67%");
    std::string text;
    FormatRoundTripText(1234, 5678, 2000, 1000, text);
    EXPECT_EQ(text, "1234ms /5678ms /2000ms /1000ms");
    FormatDecimal(1234567, text);
    EXPECT_EQ(text, "1234567");
    EXPECT_EQ(Status(PING_RESULT_SENDFAIL, 0, false, 1, 10065),
              "Send ping failed, error code is  10065");
}

TEST(HostStateRule, Rules) {
    CSetupInfo setup;  // count trigger 3, rate trigger 5 %
    EXPECT_EQ(HostStateRule(2, 1, 0.0f, setup), kStateChanging);
    EXPECT_EQ(HostStateRule(3, 1, 0.0f, setup), kStateUp);
    EXPECT_EQ(HostStateRule(3, 0, 100.0f, setup), kStateDown);
    EXPECT_EQ(HostStateRule(3, 1, 5.0f, setup), kStateLossRate);
    EXPECT_EQ(HostStateRule(3, 1, 4.99f, setup), kStateUp);
    // The rate trigger covers a host that has just come back up, but never one whose up
    // flag is 0, even while its failures have not reached the count.
    EXPECT_EQ(HostStateRule(0, 1, 50.0f, setup), kStateLossRate);
    EXPECT_EQ(HostStateRule(0, 0, 100.0f, setup), kStateChanging);

    // continuelost is compared as unsigned: a negative count is never reached.
    setup.continuelost = -1;
    EXPECT_EQ(HostStateRule(0xFFFFFFFE, 0, 0.0f, setup), kStateChanging);
    setup.continuelost = 0;
    EXPECT_EQ(HostStateRule(0, 1, 0.0f, setup), kStateUp);

    setup.needlostcount = 0;
    setup.continuelost = 3;
    EXPECT_EQ(HostStateRule(0, 0, 0.0f, setup), kStateDown);
    setup.needlostrate = 0;
    EXPECT_EQ(HostStateRule(0, 1, 100.0f, setup), kStateUp);

    // A negative threshold converts to a huge one: the rate trigger never fires.
    setup.needlostrate = 1;
    setup.lostrate = -1;
    EXPECT_EQ(HostStateRule(0, 1, 100.0f, setup), kStateUp);
}

}  // namespace
