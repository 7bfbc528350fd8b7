#include "alerts/event_text.h"

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alerts/alerts_test_support.h"
#include "alerts/log_file.h"
#include "common/test_support.h"
#include "config/setup_info.h"
#include "engine/host_item.h"

namespace {

using alertstest::FixedClockTest;
using alertstest::SetIPv4;
using alertstest::SetIPv6;
using alertstest::SetLostRateText;

TEST(EventNamesTest, IndexedByHostState) {
    EXPECT_STREQ(g_eventNames[0], "peer is up");
    EXPECT_STREQ(g_eventNames[1], "the state of peer is changed");
    EXPECT_STREQ(g_eventNames[2], "peer is down");
    EXPECT_STREQ(g_eventNames[3], "lost rate is more than switch");
    EXPECT_STREQ(g_eventNames[4], "lost rate is more than switch");
    EXPECT_STREQ(EventName(-1), "");
    EXPECT_STREQ(EventName(5), "");
}

TEST(EventTextTest, TtlTextTakesPrecedenceOverTheStateName) {
    CHostItem host;
    host.state = 2;
    EXPECT_EQ(EventText(host), "peer is down");
    host.event_text = "TTL have changed from 64 to 57";
    EXPECT_EQ(EventText(host), "TTL have changed from 64 to 57");
    host.event_text.clear();
    host.state = 0;
    EXPECT_EQ(EventText(host), "peer is up");
}

TEST(EventTextTest, AddressTextsOfBothFamilies) {
    CHostItem v4;
    SetIPv4(v4, "10.0.0.1");
    EXPECT_EQ(AddressText(v4), "10.0.0.1");
    EXPECT_EQ(EventListAddressText(v4), "10.0.0.1 ");

    CHostItem v6;
    SetIPv6(v6, "2001:db8::1");
    // An IPv6 address wins over any IPv4 value left in the record.
    SetIPv4(v6, "10.0.0.9");
    EXPECT_EQ(AddressText(v6), "2001:db8::1");
    EXPECT_EQ(EventListAddressText(v6), "2001:db8::1");

    CHostItem unresolved;
    EXPECT_EQ(AddressText(unresolved), "0.0.0.0");
}

TEST(DateTextTest, FixedPatternsWithTwoDigitFields) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 3;
    t.tm_wday = 6;
    t.tm_hour = 0;
    t.tm_min = 7;
    t.tm_sec = 5;
    EXPECT_EQ(FormatDateText(t), "Saturday, January 03, 2026  00:07:05");
    EXPECT_EQ(FormatCsvDateText(t), "03/01/2026,00:07:05");
}

TEST(DateTextTest, TwoDecimalsRoundLikePrintf) {
    EXPECT_EQ(FormatTwoDecimals(100.0), "100.00");
    EXPECT_EQ(FormatTwoDecimals(0.0), "0.00");
    EXPECT_EQ(FormatTwoDecimals(12.5), "12.50");
    EXPECT_EQ(FormatTwoDecimals(static_cast<double>(33.333333f)), "33.33");
    EXPECT_EQ(FormatTwoDecimals(static_cast<double>(66.666667f)), "66.67");
}

class ExpandTest : public FixedClockTest {};

TEST_F(ExpandTest, NowTextFollowsTheClockAndTz) {
    EXPECT_EQ(NowText(), kDate);
    char buffer[kDateTextBufferSize];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(FormatNowText(buffer), 0);
    EXPECT_STREQ(buffer, kDate);

    setenv("TZ", "EST5", 1);
    EXPECT_EQ(NowText(), "Monday, December 07, 2026  20:05:09");
}

struct ExpandCase {
    const char* label;
    const char* text;
    const char* expected;
};

TEST_F(ExpandTest, PlaceholderTable) {
    const std::string date = kDate;
    const std::vector<ExpandCase> cases = {
        {"no placeholder", "plain text <", "plain text <"},
        {"name", "n=<NAME>.", "n=web."},
        {"host", "h=<HOST>", "h=10.0.0.1"},
        {"date", "<DATE TIME>", kDate},
        {"event", "[<EVENT>]", "[peer is down]"},
        {"lost rate", "<LOST RATE>", "12.50%"},
        {"repeated", "<NAME>/<NAME>/<HOST><HOST>", "web/web/10.0.0.110.0.0.1"},
        {"case matters", "<name> <Host> <date time> <event> <lost rate>",
         "<name> <Host> <date time> <event> <lost rate>"},
        {"incomplete", "<NAME <HOST", "<NAME <HOST"},
        {"nested brackets", "<<NAME>>", "<web>"},
        {"empty", "", ""},
    };
    CHostItem host;
    host.name = "web";
    host.state = 2;
    SetIPv4(host, "10.0.0.1");
    SetLostRateText(host, "12.50%");
    for (const ExpandCase& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(host.ExpandEventText(text), 0);
        EXPECT_EQ(text, c.expected) << c.label;
    }
}

TEST_F(ExpandTest, EmptyValuesRemoveThePlaceholder) {
    CHostItem host;
    host.state = 1;
    SetIPv4(host, "192.168.1.2");
    std::string text = "[<NAME>][<LOST RATE>][<EVENT>]";
    host.ExpandEventText(text);
    EXPECT_EQ(text, "[][][the state of peer is changed]");
}

TEST_F(ExpandTest, TtlEventTextAndIPv6Host) {
    CHostItem host;
    host.name = "router";
    host.state = 0;
    host.event_text = "TTL have changed from 64 to 57";
    SetIPv6(host, "fe80::1:2");
    std::string text = "<HOST> <EVENT>";
    host.ExpandEventText(text);
    EXPECT_EQ(text, "fe80::1:2 TTL have changed from 64 to 57");
}

TEST_F(ExpandTest, DefaultTextsExpandCompletely) {
    CHostItem host;
    host.name = "db";
    host.state = 2;
    SetIPv4(host, "127.0.0.5");
    SetLostRateText(host, "100.00%");
    CSetupInfo setup;
    std::string body = setup.downbody;
    host.ExpandEventText(body);
    EXPECT_EQ(body, "the name is db\r\nthe IP address is 127.0.0.5\r\nthe datetime is " +
                        std::string(kDate) +
                        "\r\nthe EVENT is peer is down\r\nthe lost rate is 100.00%");
    std::string subject = setup.downsubject;
    host.ExpandEventText(subject);
    EXPECT_EQ(subject, "the host of 127.0.0.5 is down");
    std::string parameters = setup.execpara;
    host.ExpandEventText(parameters);
    EXPECT_EQ(parameters, "HOST=127.0.0.5 \"DATATIME=" + std::string(kDate) +
                              "\" \"EVENT=peer is down\" LOSTRATE=100.00%");
}

// A value that contains a placeholder must neither loop nor be expanded again by its own
// step; later steps do see it.
TEST_F(ExpandTest, ValuesContainingPlaceholdersTerminate) {
    CHostItem host;
    host.state = 0;
    SetIPv4(host, "10.1.1.1");
    SetLostRateText(host, "0.00%");

    host.name = "a<NAME>b";
    std::string text = "<NAME><NAME>";
    host.ExpandEventText(text);
    EXPECT_EQ(text, "a<NAME>ba<NAME>b");

    host.name = "x<HOST>y<EVENT>z";
    text = "<NAME>";
    host.ExpandEventText(text);
    EXPECT_EQ(text, "x10.1.1.1ypeer is upz");

    // An event text holding an earlier placeholder stays as it is.
    host.name = "n";
    host.event_text = "<NAME> <LOST RATE>";
    text = "<EVENT>";
    host.ExpandEventText(text);
    EXPECT_EQ(text, "<NAME> 0.00%");

    // The lost-rate text is the last step: a placeholder in it survives.
    SetLostRateText(host, "<LOST RATE>");
    text = "<LOST RATE>";
    host.ExpandEventText(text);
    EXPECT_EQ(text, "<LOST RATE>");
}

// Everything fixed in the texts must come out the same under a user locale with other
// day names and a decimal comma.
class ForeignLocaleTest : public FixedClockTest {
protected:
    static void SetUpTestSuite() {
        s_dir = new testsupport::TempDir();
        std::string command =
            "localedef -i de_DE -f UTF-8 " + s_dir->File("de_DE.UTF-8") + " >/dev/null 2>&1";
        s_ready = testsupport::RunShell(command) == 0;
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        FixedClockTest::SetUp();
        const char* old = std::getenv("LOCPATH");
        m_hadLocpath = old != nullptr;
        if (m_hadLocpath)
            m_oldLocpath = old;
        if (!s_ready)
            GTEST_SKIP() << "localedef could not build de_DE.UTF-8 (package locales missing?)";
        setenv("LOCPATH", s_dir->path().c_str(), 1);
        ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    }
    void TearDown() override {
        std::setlocale(LC_ALL, "C");
        if (m_hadLocpath)
            setenv("LOCPATH", m_oldLocpath.c_str(), 1);
        else
            unsetenv("LOCPATH");
        FixedClockTest::TearDown();
    }

    static inline testsupport::TempDir* s_dir = nullptr;
    static inline bool s_ready = false;

private:
    bool m_hadLocpath = false;
    std::string m_oldLocpath;
};

TEST_F(ForeignLocaleTest, DatesNamesAndDecimalsStayFixed) {
    // Proves the locale is really active: the C library now speaks German.
    char probe[64];
    std::tm local = FixedLocal();
    strftime(probe, sizeof probe, "%A", &local);
    ASSERT_STREQ(probe, "Dienstag");
    snprintf(probe, sizeof probe, "%.2f", 12.5);
    ASSERT_STREQ(probe, "12,50");

    EXPECT_EQ(NowText(), kDate);
    EXPECT_EQ(FormatCsvDateText(local), "08/12/2026,01:05:09");
    EXPECT_EQ(FormatTwoDecimals(12.5), "12.50");

    CHostItem host;
    host.name = "h";
    SetIPv4(host, "127.0.0.1");
    host.sent_count = 8;
    host.lost_rate = 12.5f;
    host.rtt_min = 1;
    host.rtt_max = 2;
    host.rtt_avg = 1;
    EXPECT_EQ(FormatSummaryLine(host),
              "SUMMARY: h;Delay: Min/Max/Aver: 1ms/2ms/1ms/; Lost rate: 12.50%");
    std::string text = "<DATE TIME>";
    host.ExpandEventText(text);
    EXPECT_EQ(text, kDate);
}

}  // namespace
