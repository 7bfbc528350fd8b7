#pragma once

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "alerts/event_text.h"
#include "engine/host_item.h"

namespace alertstest {

inline void SetIPv4(CHostItem& host, const char* text) {
    in_addr address{};
    ASSERT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
    host.addr4.sin_family = AF_INET;
    host.StoreAddr4(address.s_addr);
}

inline void SetIPv6(CHostItem& host, const char* text) {
    host.addr6.sin6_family = AF_INET6;
    ASSERT_EQ(inet_pton(AF_INET6, text, &host.addr6.sin6_addr), 1) << text;
}

inline void SetLostRateText(CHostItem& host, const char* text) {
    std::strncpy(host.lost_rate_text, text, sizeof host.lost_rate_text - 1);
}

// Tuesday, December 08, 2026  01:05:09 UTC: the moment every test of texts sees.
inline std::time_t g_fixedNow = 0;
inline std::time_t FixedNow() {
    return g_fixedNow;
}

// Runs each test at the fixed moment in TZ=UTC and restores TZ and the clock afterwards.
class FixedClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_hadTz = tz != nullptr;
        if (m_hadTz)
            m_oldTz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
        std::tm when{};
        when.tm_year = 2026 - 1900;
        when.tm_mon = 11;
        when.tm_mday = 8;
        when.tm_hour = 1;
        when.tm_min = 5;
        when.tm_sec = 9;
        g_fixedNow = timegm(&when);
        SetTextClock(&FixedNow);
    }
    void TearDown() override {
        SetTextClock(nullptr);
        if (m_hadTz)
            setenv("TZ", m_oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::tm FixedLocal() const {
        std::tm local{};
        EXPECT_TRUE(ToLocalTime(g_fixedNow, local));
        return local;
    }

    static constexpr const char* kDate = "Tuesday, December 08, 2026  01:05:09";

private:
    bool m_hadTz = false;
    std::string m_oldTz;
};

}  // namespace alertstest
