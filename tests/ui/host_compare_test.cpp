// The host list's column comparators and the row-map operations: orders the user sees,
// proper three-way comparisons on random data, and the row invariant kept through random
// sequences of adds, sorts, moves, deletions and suspensions against a plain reference.
#include "ui/host_compare.h"

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "config/setup_document.h"
#include "engine/host_list.h"

namespace {

class HostCompareTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyHostList();
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_bSetupModified = 0;
    }
    void TearDown() override {
        DestroyHostList();
        g_bSetupModified = 0;
    }

    // A published host named `name`, at the end of the table and of the rows.
    static CHostItem* Add(const std::string& name) {
        CHostItem* host = AddHost(0);
        EXPECT_NE(host, nullptr);
        if (host == nullptr)
            return nullptr;
        host->name = name;
        PublishHost(host);
        return host;
    }

    // Names in row order.
    static std::vector<std::string> RowNames() {
        std::vector<std::string> names;
        for (int32_t r = 0; r < g_rowCount; ++r) {
            const CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[r]));
            names.push_back(host != nullptr ? host->name : "<empty>");
        }
        return names;
    }
    // Names in table order.
    static std::vector<std::string> TableNames() {
        std::vector<std::string> names;
        for (uint32_t i = 0; i < g_pHostList->count.load(); ++i) {
            const CHostItem* host = g_pHostList->Host(i);
            names.push_back(host != nullptr ? host->name : "<empty>");
        }
        return names;
    }
    // The row invariant, and every host shown by exactly one row.
    static void ExpectInvariant() {
        const uint32_t count = g_pHostList->count.load();
        ASSERT_EQ(static_cast<uint32_t>(g_rowCount), count);
        std::vector<int> shown(count, 0);
        for (int32_t r = 0; r < g_rowCount; ++r) {
            const int32_t index = g_rowToHost[r];
            ASSERT_GE(index, 0);
            ASSERT_LT(static_cast<uint32_t>(index), count);
            const CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(index));
            ASSERT_NE(host, nullptr) << "row " << r;
            EXPECT_EQ(host->row, static_cast<uint32_t>(r));
            ++shown[static_cast<size_t>(index)];
        }
        for (uint32_t i = 0; i < count; ++i)
            EXPECT_EQ(shown[i], 1) << "host " << i;
    }
};

int Sign(int v) {
    return (v > 0) - (v < 0);
}

int Compare(const CHostItem& a, const CHostItem& b, int column, bool ascending) {
    return ColumnComparator(column, ascending)(MakeSortKey(a, 0, column),
                                               MakeSortKey(b, 1, column));
}

TEST_F(HostCompareTest, ColumnsSortTheWayTheirTextsAndNumbersRead) {
    CHostItem a, b;
    // The round-trip column compares its texts byte by byte.
    a.rtt_text = "100ms /100ms /100ms /100ms";
    b.rtt_text = "12ms /12ms /12ms /12ms";
    EXPECT_LT(Compare(a, b, 4, true), 0);
    EXPECT_GT(Compare(a, b, 4, false), 0);

    // Addresses compare as numbers, not as texts.
    a.StoreAddr4(inet_addr("9.0.0.1"));
    b.StoreAddr4(inet_addr("10.0.0.2"));
    EXPECT_LT(Compare(a, b, 1, true), 0);
    a.StoreAddr4(inet_addr("10.0.0.10"));
    EXPECT_GT(Compare(a, b, 1, true), 0);

    // IPv6 hosts have address 0 and sort among themselves by host name.
    a.StoreAddr4(0);
    b.StoreAddr4(0);
    a.hostname = "beta.test";
    b.hostname = "alpha.test";
    EXPECT_GT(Compare(a, b, 1, true), 0);
    EXPECT_LT(Compare(a, b, 1, false), 0);
    b.hostname = "beta.test";
    EXPECT_EQ(Compare(a, b, 1, true), 0);

    // Names: unsigned bytes, case-sensitive, a prefix first.
    a.name = "host";
    b.name = "host2";
    EXPECT_LT(Compare(a, b, 0, true), 0);
    a.name = "Zed";
    b.name = "alpha";
    EXPECT_LT(Compare(a, b, 0, true), 0);
    a.name = "\xc3\xa9";  // above every ASCII byte
    EXPECT_GT(Compare(a, b, 0, true), 0);

    // Loss rates closer than 0.0001 percent are equal; the sign never wraps.
    a.lost_rate = 5.0f;
    b.lost_rate = 5.00001f;
    EXPECT_EQ(Compare(a, b, 7, true), 0);
    b.lost_rate = 5.01f;
    EXPECT_LT(Compare(a, b, 7, true), 0);
    a.lost_rate = 0.0f;
    b.lost_rate = 100.0f;
    EXPECT_LT(Compare(a, b, 7, true), 0);
    EXPECT_GT(Compare(a, b, 7, false), 0);

    // Counters compare in 32 bits without a wrapped difference.
    a.sent_count = 0;
    b.sent_count = 0xFFFFFFFF;
    EXPECT_LT(Compare(a, b, 5, true), 0);
    a.recv_count = 0x80000001;
    b.recv_count = 1;
    EXPECT_GT(Compare(a, b, 6, true), 0);
    a.result = PING_RESULT_REPLY;
    b.result = 3;
    EXPECT_GT(Compare(a, b, 2, true), 0);
    a.ttl = 64;
    b.ttl = 128;
    EXPECT_LT(Compare(a, b, 3, true), 0);
}

TEST_F(HostCompareTest, EveryComparatorIsAntisymmetricAndTransitiveOnRandomHosts) {
    std::mt19937 rng(12345);
    const char* const texts[] = {"", "a", "ab", "b", "B", "100ms", "12ms", "\xff", "a\xff"};
    std::vector<std::unique_ptr<CHostItem>> hosts;
    for (int i = 0; i < 40; ++i) {
        auto host = std::make_unique<CHostItem>();
        host->name = texts[rng() % std::size(texts)];
        host->hostname = texts[rng() % std::size(texts)];
        host->rtt_text = texts[rng() % std::size(texts)];
        // Few distinct values, so equal keys are common.
        host->StoreAddr4(rng() % 3 == 0 ? 0 : static_cast<uint32_t>(rng() % 4) << 24);
        host->result = static_cast<uint16_t>(rng() % 2 ? 0x100 + rng() % 3 : rng() % 4);
        host->ttl = static_cast<uint8_t>(rng() % 3 * 100);
        host->sent_count = rng() % 2 ? 0xFFFFFFFFu - rng() % 3 : rng() % 3;
        host->recv_count = rng() % 2 ? 0x80000000u + rng() % 3 : rng() % 3;
        const float rates[] = {0.0f, 5.0f, 5.00001f, 5.00002f, 50.0f, 100.0f, -0.0f};
        host->lost_rate = rates[rng() % std::size(rates)];
        hosts.push_back(std::move(host));
    }
    for (int entry = 0; entry < 2 * kHostListColumns; ++entry) {
        const ColumnCompare compare = g_pfnColumnCompare[entry];
        const int column = entry % kHostListColumns;
        std::vector<CHostSortKey> keys;
        for (size_t i = 0; i < hosts.size(); ++i)
            keys.push_back(MakeSortKey(*hosts[i], static_cast<int32_t>(i), column));
        for (const auto& a : keys) {
            EXPECT_EQ(compare(a, a), 0) << entry;
            for (const auto& b : keys) {
                ASSERT_EQ(Sign(compare(a, b)), -Sign(compare(b, a))) << entry;
                for (const auto& c : keys) {
                    const int ab = compare(a, b);
                    const int bc = compare(b, c);
                    const int ac = compare(a, c);
                    if (ab <= 0 && bc <= 0) {
                        ASSERT_LE(ac, 0) << entry;
                    }
                    if (ab == 0 && bc == 0) {
                        ASSERT_EQ(ac, 0) << entry;
                    }
                }
            }
        }
    }
}

TEST_F(HostCompareTest, SortOrdersRowsKeepsTiesAndGivesBackTheSelection) {
    const int ttls[] = {64, 128, 64, 1, 255, 128};
    for (int i = 0; i < 6; ++i)
        Add("h" + std::to_string(i))->ttl = static_cast<uint8_t>(ttls[i]);
    // Select the rows of h1 and h4.
    CRowSortResult result = SortRowMap(3, true, {1, 4, 4, 99, -1});
    ASSERT_TRUE(result.sorted);
    ExpectInvariant();
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"h3", "h0", "h2", "h1", "h5", "h4"}));
    EXPECT_EQ(result.selectedRows, (std::vector<int32_t>{3, 5}));
    EXPECT_EQ(result.newRowOfOldRow, (std::vector<int32_t>{1, 3, 2, 0, 5, 4}));
    for (uint32_t i = 0; i < 6; ++i)
        EXPECT_EQ(g_pHostList->Host(i)->list_flags.load() & kListSortMark, 0u);
    // The table itself keeps its order: only rows move.
    EXPECT_EQ(TableNames(), (std::vector<std::string>{"h0", "h1", "h2", "h3", "h4", "h5"}));

    result = SortRowMap(3, false, {0});
    ExpectInvariant();
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"h4", "h1", "h5", "h0", "h2", "h3"}));
    EXPECT_EQ(result.selectedRows, (std::vector<int32_t>{5}));

    EXPECT_FALSE(SortRowMap(kHostListColumns, true, {}).sorted);
    EXPECT_FALSE(SortRowMap(-1, true, {}).sorted);
}

TEST_F(HostCompareTest, DeleteClosesTheGapsInTableAndRows) {
    for (int i = 0; i < 6; ++i)
        Add("h" + std::to_string(i));
    SortRowMap(0, false, {});  // rows h5 .. h0
    g_bSetupModified = 0;
    const CRowDeleteResult result = DeleteRows({4, 1, 1, 40, -3});
    EXPECT_EQ(result.deletedRows, (std::vector<int32_t>{1, 4}));
    EXPECT_EQ(g_bSetupModified, 1);
    ExpectInvariant();
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"h5", "h3", "h2", "h0"}));
    EXPECT_EQ(TableNames(), (std::vector<std::string>{"h0", "h2", "h3", "h5"}));
    EXPECT_EQ(GetFreeHostSlots(0), kMaxHosts - 4);

    g_bSetupModified = 0;
    EXPECT_TRUE(DeleteRows({}).deletedRows.empty());
    EXPECT_EQ(MoveRow(3, true), -1);
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_EQ(MoveRow(3, false), 2);
    EXPECT_EQ(g_bSetupModified, 1);
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"h5", "h3", "h0", "h2"}));
    EXPECT_EQ(DeleteRows({0, 1, 2, 3}).deletedRows.size(), 4u);
    EXPECT_EQ(g_rowCount, 0);
    EXPECT_EQ(g_pHostList->count.load(), 0);
    // A host added afterwards takes slot 0 and row 0.
    CHostItem* host = Add("again");
    EXPECT_EQ(host->row, 0u);
    ExpectInvariant();
}

TEST_F(HostCompareTest, RandomOperationsKeepTheRowInvariantAgainstAReference) {
    std::mt19937 rng(777);
    std::vector<std::string> rows;   // reference: names in row order
    std::vector<std::string> table;  // reference: names in table order
    std::set<std::string> suspended;
    int next = 0;
    for (int step = 0; step < 600; ++step) {
        const int op = static_cast<int>(rng() % 10);
        if (op < 3 || rows.empty()) {
            const std::string name = "h" + std::to_string(next++);
            CHostItem* host = Add(name);
            ASSERT_NE(host, nullptr);
            host->ttl = static_cast<uint8_t>(rng() % 4);
            host->sent_count = rng() % 3;
            rows.push_back(name);
            table.push_back(name);
        } else if (op < 5) {
            const int column = static_cast<int>(rng() % kHostListColumns);
            const bool ascending = rng() % 2 == 0;
            std::vector<int32_t> selected;
            std::multiset<std::string> selectedNames;
            for (size_t r = 0; r < rows.size(); ++r) {
                if (rng() % 4 == 0) {
                    selected.push_back(static_cast<int32_t>(r));
                    selectedNames.insert(rows[r]);
                }
            }
            const CRowSortResult result = SortRowMap(column, ascending, selected);
            ASSERT_TRUE(result.sorted);
            // Sorted by the comparator, and a permutation of what was there.
            const ColumnCompare compare = ColumnComparator(column, ascending);
            for (int32_t r = 1; r < g_rowCount; ++r) {
                const CHostItem* a = g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[r - 1]));
                const CHostItem* b = g_pHostList->Host(static_cast<uint32_t>(g_rowToHost[r]));
                ASSERT_LE(compare(MakeSortKey(*a, 0, column), MakeSortKey(*b, 0, column)), 0);
            }
            std::vector<std::string> now = RowNames();
            std::vector<std::string> before = rows;
            std::sort(now.begin(), now.end());
            std::sort(before.begin(), before.end());
            ASSERT_EQ(now, before);
            rows = RowNames();
            std::multiset<std::string> after;
            for (int32_t r : result.selectedRows)
                after.insert(rows[static_cast<size_t>(r)]);
            ASSERT_EQ(after, selectedNames);
        } else if (op < 7) {
            const int32_t row = static_cast<int32_t>(rng() % rows.size());
            const bool down = rng() % 2 == 0;
            const int32_t other = MoveRow(row, down);
            const int32_t expected = down ? row + 1 : row - 1;
            if (expected < 0 || expected >= static_cast<int32_t>(rows.size())) {
                ASSERT_EQ(other, -1);
            } else {
                ASSERT_EQ(other, expected);
                std::swap(rows[static_cast<size_t>(row)], rows[static_cast<size_t>(other)]);
            }
        } else if (op < 9) {
            std::vector<int32_t> doomed;
            std::set<std::string> doomedNames;
            for (size_t r = 0; r < rows.size(); ++r) {
                if (rng() % 5 == 0) {
                    doomed.push_back(static_cast<int32_t>(r));
                    doomedNames.insert(rows[r]);
                }
            }
            std::shuffle(doomed.begin(), doomed.end(), rng);
            DeleteRows(doomed);
            auto gone = [&](const std::string& n) { return doomedNames.count(n) != 0; };
            rows.erase(std::remove_if(rows.begin(), rows.end(), gone), rows.end());
            table.erase(std::remove_if(table.begin(), table.end(), gone), table.end());
            for (const std::string& n : doomedNames)
                suspended.erase(n);
        } else {
            const int32_t row = static_cast<int32_t>(rng() % rows.size());
            const bool suspend = rng() % 2 == 0;
            ASSERT_EQ(SetRowsSuspended({row}, suspend), (std::vector<int32_t>{row}));
            if (suspend)
                suspended.insert(rows[static_cast<size_t>(row)]);
            else
                suspended.erase(rows[static_cast<size_t>(row)]);
        }
        ExpectInvariant();
        ASSERT_EQ(RowNames(), rows) << "step " << step;
        ASSERT_EQ(TableNames(), table) << "step " << step;
        for (uint32_t i = 0; i < g_pHostList->count.load(); ++i) {
            const CHostItem* host = g_pHostList->Host(i);
            ASSERT_EQ((host->advance.load() & kAdvanceSuspended) != 0,
                      suspended.count(host->name) != 0);
        }
    }
}

TEST_F(HostCompareTest, SuspendResumeAndClearStatisticsTouchOnlyTheirFields) {
    CHostItem* a = Add("a");
    CHostItem* b = Add("b");
    g_bSetupModified = 0;
    EXPECT_TRUE(SetRowsSuspended({5}, true).empty());
    EXPECT_EQ(g_bSetupModified, 0);
    EXPECT_EQ(SetRowsSuspended({1}, true), (std::vector<int32_t>{1}));
    EXPECT_EQ(g_bSetupModified, 1);
    EXPECT_EQ(b->advance.load(), kAdvanceSuspended | kAdvanceTtlEvent);
    EXPECT_EQ(a->advance.load(), kAdvanceTtlEvent);
    SetRowsSuspended({0, 1}, false);
    EXPECT_EQ(b->advance.load(), kAdvanceTtlEvent);

    a->sent_count = 10;
    a->recv_count = 7;
    a->rtt_sum = 700;
    a->lost_rate = 30.0f;
    std::snprintf(a->lost_rate_text, sizeof a->lost_rate_text, "30.00%%");
    a->rtt_min = 5;
    a->rtt_max = 9;
    a->run_count = 4;
    a->result = PING_RESULT_REPLY;
    a->state = 0;
    a->rtt_text = "5ms /9ms /7ms /6ms";
    EXPECT_EQ(ClearStatistics(), 2);
    EXPECT_EQ(a->sent_count.load(), 0u);
    EXPECT_EQ(a->recv_count.load(), 0u);
    EXPECT_EQ(a->rtt_sum, 0u);
    EXPECT_EQ(a->lost_rate, 0.0f);
    EXPECT_STREQ(a->lost_rate_text, "0.00%");
    EXPECT_EQ(a->rtt_min, 5u);
    EXPECT_EQ(a->rtt_max, 9u);
    EXPECT_EQ(a->run_count.load(), 4u);
    EXPECT_EQ(a->result.load(), PING_RESULT_REPLY);
    EXPECT_EQ(a->state, 0);
    EXPECT_EQ(a->rtt_text, "5ms /9ms /7ms /6ms");
}

}  // namespace
