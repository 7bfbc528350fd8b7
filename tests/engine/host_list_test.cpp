#include "engine/host_list.h"

#include <cstring>
#include <set>
#include <string>

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

class HostListTest : public ::testing::Test {
protected:
    void SetUp() override { DestroyHostList(); }
    void TearDown() override { DestroyHostList(); }
};

TEST_F(HostListTest, NewTableIsEmptyStoppedAndRefusesASecond) {
    ASSERT_EQ(CreateHostList(kMaxHosts), 0);
    ASSERT_NE(g_pHostList, nullptr);
    EXPECT_EQ(g_pHostList->capacity, 65535);
    EXPECT_EQ(g_pHostList->stopped.load(), 1);
    EXPECT_EQ(g_pHostList->count.load(), 0);
    EXPECT_EQ(g_pHostList->notify_wnd, nullptr);
    EXPECT_EQ(GetFreeHostSlots(0), 65535);
    EXPECT_EQ(g_pHostList->Host(0), nullptr);

    CHostList* first = g_pHostList;
    EXPECT_EQ(CreateHostList(10), -2);
    EXPECT_EQ(g_pHostList, first);
    EXPECT_EQ(g_pHostList->capacity, 65535);
}

TEST_F(HostListTest, CapacityBelowOneHoldsOneHostAndAboveTheLimitIsCapped) {
    for (int capacity : {0, -1, -70000}) {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(capacity), 0) << capacity;
        EXPECT_EQ(g_pHostList->capacity, 1) << capacity;
        EXPECT_NE(AddHost(0), nullptr) << capacity;
        EXPECT_EQ(AddHost(0), nullptr) << capacity;
    }
    DestroyHostList();
    // 65,536 would wrap to 0 in the 16-bit field.
    ASSERT_EQ(CreateHostList(65536), 0);
    EXPECT_EQ(g_pHostList->capacity, 65535);
}

TEST_F(HostListTest, NewRecordHasItsInitialValues) {
    ASSERT_EQ(CreateHostList(4), 0);
    g_rowCount = 0;
    CHostItem* host = AddHost(0);
    ASSERT_NE(host, nullptr);
    // The values that the rest of the system reads as "nothing yet".
    EXPECT_EQ(host->state, 1);
    EXPECT_EQ(host->rtt_min, 0xFFFFFFFFu);
    EXPECT_EQ(host->seq.load(), g_pHostList->first_seq);
    EXPECT_EQ(host->addr4.sin_family, AF_INET);
    EXPECT_EQ(host->addr6.sin6_family, AF_INET6);
    EXPECT_FALSE(host->IsIPv6());
    EXPECT_FALSE(host->target6.has_value());

    // Header zero until the first send; payload "a".."w" repeating.
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(host->echo[i], 0) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(host->echo + 8), 32),
              "abcdefghijklmnopqrstuvwabcdefghi");
    // The shared send buffer carries the same pattern from byte 8 to its end.
    EXPECT_EQ(g_sendBuffer[8], 'a');
    EXPECT_EQ(g_sendBuffer[8 + 22], 'w');
    EXPECT_EQ(g_sendBuffer[8 + 23], 'a');
    EXPECT_EQ(g_sendBuffer[kSendBufferSize - 1], 'a' + (kSendBufferSize - 1 - 8) % 23);

    // Unfilled until published; publishing keeps the other bits.
    EXPECT_EQ(host->list_flags.load(), kListUnfilled);
    host->list_flags.fetch_or(kListSortMark);
    PublishHost(host);
    EXPECT_EQ(host->list_flags.load(), kListSortMark);

    // Each table, as each instance, starts its sequences at a random point of its own.
    DestroyHostList();
    std::set<uint16_t> firsts;
    for (int table = 0; table < 3 && CreateHostList(1) == 0; ++table, DestroyHostList())
        firsts.insert(AddHost(0)->seq.load());
    EXPECT_GT(firsts.size(), 1u);
}

TEST_F(HostListTest, AddHostFillsSlotsAndRowsInOrderUntilFull) {
    ASSERT_EQ(CreateHostList(3), 0);
    g_rowCount = 0;
    CHostItem* hosts[3];
    for (uint32_t i = 0; i < 3; ++i) {
        hosts[i] = AddHost(0);
        ASSERT_NE(hosts[i], nullptr);
        EXPECT_EQ(hosts[i]->row, i);
        EXPECT_EQ(g_rowToHost[i], static_cast<int32_t>(i));
        EXPECT_EQ(g_pHostList->Host(i), hosts[i]);
        EXPECT_EQ(GetFreeHostSlots(0), static_cast<int>(2 - i));
    }
    g_rowToHost[3] = -77;
    EXPECT_EQ(AddHost(0), nullptr);
    EXPECT_EQ(g_pHostList->count.load(), 3);
    EXPECT_EQ(g_rowCount, 3);
    EXPECT_EQ(g_rowToHost[3], -77);
    EXPECT_EQ(g_pHostList->Host(3), nullptr);
    // Only table 0 exists.
    EXPECT_EQ(AddHost(1), nullptr);
    EXPECT_EQ(GetFreeHostSlots(1), 0);
}

TEST_F(HostListTest, ANewHostBecomesTheLastRowAfterTheRowsWereReordered) {
    ASSERT_EQ(CreateHostList(8), 0);
    g_rowCount = 0;
    ASSERT_NE(AddHost(0), nullptr);
    ASSERT_NE(AddHost(0), nullptr);
    std::swap(g_rowToHost[0], g_rowToHost[1]);
    CHostItem* third = AddHost(0);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->row, 2u);
    EXPECT_EQ(g_rowToHost[0], 1);
    EXPECT_EQ(g_rowToHost[1], 0);
    EXPECT_EQ(g_rowToHost[2], 2);
}

TEST_F(HostListTest, ClearThenAddStartsAgainAtIndexAndRowZero) {
    ASSERT_EQ(CreateHostList(5), 0);
    g_rowCount = 0;
    for (int i = 0; i < 5; ++i)
        ASSERT_NE(AddHost(0), nullptr);

    // A table number other than 0 changes nothing.
    EXPECT_EQ(ClearHostList(1), -1);
    EXPECT_EQ(g_pHostList->count.load(), 5);
    EXPECT_EQ(g_rowCount, 5);

    EXPECT_EQ(ClearHostList(0), 0);
    EXPECT_EQ(g_pHostList->count.load(), 0);
    EXPECT_EQ(g_rowCount, 0);
    EXPECT_EQ(g_pHostList->Host(0), nullptr);
    EXPECT_EQ(GetFreeHostSlots(0), 5);

    CHostItem* host = AddHost(0);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->row, 0u);
    EXPECT_EQ(g_rowToHost[0], 0);
    EXPECT_EQ(g_pHostList->Host(0), host);
    EXPECT_EQ(host->seq.load(), g_pHostList->first_seq);
}

TEST_F(HostListTest, ClearWithoutATableOnlyResetsTheRows) {
    g_rowCount = 12;
    EXPECT_EQ(ClearHostList(0), 0);
    EXPECT_EQ(g_rowCount, 0);
    EXPECT_EQ(AddHost(0), nullptr);
    EXPECT_EQ(GetFreeHostSlots(0), 0);
}

TEST_F(HostListTest, FullTableOfMaximumSize) {
    ASSERT_EQ(CreateHostList(kMaxHosts), 0);
    g_rowCount = 0;
    for (int i = 0; i < kMaxHosts; ++i)
        ASSERT_NE(AddHost(0), nullptr) << i;
    EXPECT_EQ(GetFreeHostSlots(0), 0);
    EXPECT_EQ(AddHost(0), nullptr);
    EXPECT_EQ(g_rowCount, kMaxHosts);
    EXPECT_EQ(g_rowToHost[65534], 65534);
    EXPECT_EQ(g_pHostList->Host(65534)->row, 65534u);
    EXPECT_EQ(ClearHostList(0), 0);
    EXPECT_EQ(GetFreeHostSlots(0), kMaxHosts);
}

TEST_F(HostListTest, ResolveIPv6FillsTheDestinationOnlyForIPv6Hosts) {
    ASSERT_EQ(CreateHostList(4), 0);
    CHostItem* v4 = AddHost(0);
    ASSERT_NE(v4, nullptr);
    v4->StoreAddr4(htonl(INADDR_LOOPBACK));
    EXPECT_EQ(v4->LoadAddr4(), htonl(INADDR_LOOPBACK));
    sockaddr_in6 marker{};
    marker.sin6_port = 4242;
    v4->target6 = marker;
    v4->ResolveIPv6("::1");
    ASSERT_TRUE(v4->target6.has_value());
    EXPECT_EQ(v4->target6->sin6_port, 4242);

    CHostItem* v6 = AddHost(0);
    ASSERT_NE(v6, nullptr);
    ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::17", &v6->addr6.sin6_addr), 1);
    EXPECT_TRUE(v6->IsIPv6());
    v6->ResolveIPv6(nullptr);
    ASSERT_TRUE(v6->target6.has_value());
    EXPECT_EQ(v6->target6->sin6_family, AF_INET6);
    EXPECT_EQ(std::memcmp(&v6->target6->sin6_addr, &v6->addr6.sin6_addr, 16), 0);

    // An explicit text wins over addr6.
    v6->ResolveIPv6("::1");
    ASSERT_TRUE(v6->target6.has_value());
    EXPECT_EQ(std::memcmp(&v6->target6->sin6_addr, &in6addr_loopback, 16), 0);

    // Only the last byte set still makes an IPv6 host.
    CHostItem* last = AddHost(0);
    ASSERT_NE(last, nullptr);
    last->addr6.sin6_addr.s6_addr[15] = 1;
    EXPECT_TRUE(last->IsIPv6());
}

TEST(ResolveAddrInfo, PassiveWithoutHostAndNumericWithOne) {
    addrinfo* any = ResolveAddrInfo(nullptr, "0", AF_INET6, 0, 0);
    ASSERT_NE(any, nullptr);
    ASSERT_EQ(any->ai_family, AF_INET6);
    auto* a6 = reinterpret_cast<const sockaddr_in6*>(any->ai_addr);
    EXPECT_EQ(std::memcmp(&a6->sin6_addr, &in6addr_any, 16), 0);
    freeaddrinfo(any);

    addrinfo* loop = ResolveAddrInfo("127.0.0.1", "0", AF_INET, 0, 0);
    ASSERT_NE(loop, nullptr);
    auto* a4 = reinterpret_cast<const sockaddr_in*>(loop->ai_addr);
    EXPECT_EQ(a4->sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    freeaddrinfo(loop);

    // Neither a host nor a service: getaddrinfo refuses, and so do we.
    EXPECT_EQ(ResolveAddrInfo(nullptr, nullptr, AF_INET6, 0, 0), nullptr);
}

}  // namespace
