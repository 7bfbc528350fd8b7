#include "ui/host_compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numeric>
#include <string_view>

#include <arpa/inet.h>

#include "config/setup_document.h"
#include "engine/host_list.h"

namespace {

int Compare3(uint64_t a, uint64_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareSigned(int64_t a, int64_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Unsigned bytes from the first on; a shorter text before its extensions.
int CompareBytes(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0)
        return c < 0 ? -1 : 1;
    return Compare3(a.size(), b.size());
}

int CompareName(const CHostSortKey& a, const CHostSortKey& b) {
    return CompareBytes(a.text, b.text);
}
int CompareAddress(const CHostSortKey& a, const CHostSortKey& b) {
    const int c = Compare3(a.addr4, b.addr4);
    return c != 0 ? c : CompareBytes(a.text, b.text);
}
int CompareNumber(const CHostSortKey& a, const CHostSortKey& b) {
    return Compare3(a.number, b.number);
}
int CompareLostRate(const CHostSortKey& a, const CHostSortKey& b) {
    return CompareSigned(a.lostRate, b.lostRate);
}

template <ColumnCompare Ascending>
int Descending(const CHostSortKey& a, const CHostSortKey& b) {
    return Ascending(b, a);
}

// Rates are whole steps of 0.0001 percent; a value that is not a number sorts as 0.
int64_t LostRateKey(float rate) {
    const double scaled = static_cast<double>(rate) * 10000.0;
    if (!std::isfinite(scaled))
        return 0;
    return static_cast<int64_t>(std::clamp(scaled, -1e15, 1e15));
}

bool RowInRange(int32_t row) {
    return row >= 0 && row < g_rowCount;
}

// The record shown in `row`, or nullptr.
CHostItem* HostOfRow(int32_t row) {
    if (g_pHostList == nullptr || !RowInRange(row))
        return nullptr;
    const int32_t index = g_rowToHost[row];
    if (index < 0)
        return nullptr;
    return g_pHostList->Host(static_cast<uint32_t>(index));
}

}  // namespace

const ColumnCompare g_pfnColumnCompare[2 * kHostListColumns] = {
    CompareName,
    CompareAddress,
    CompareNumber,
    CompareNumber,
    CompareName,
    CompareNumber,
    CompareNumber,
    CompareLostRate,
    Descending<CompareName>,
    Descending<CompareAddress>,
    Descending<CompareNumber>,
    Descending<CompareNumber>,
    Descending<CompareName>,
    Descending<CompareNumber>,
    Descending<CompareNumber>,
    Descending<CompareLostRate>,
};

CHostSortKey MakeSortKey(const CHostItem& host, int32_t hostIndex, int column) {
    CHostSortKey key;
    key.hostIndex = hostIndex;
    switch (column) {
        case 0:
            key.text = host.name;
            break;
        case 1:
            key.addr4 = ntohl(host.LoadAddr4());
            key.text = host.hostname;
            break;
        case 2:
            key.number = host.result.load(std::memory_order_relaxed);
            break;
        case 3:
            key.number = host.ttl.load(std::memory_order_relaxed);
            break;
        case 4:
            key.text = host.rtt_text;
            break;
        case 5:
            key.number = host.sent_count.load(std::memory_order_relaxed);
            break;
        case 6:
            key.number = host.recv_count.load(std::memory_order_relaxed);
            break;
        case 7:
            key.lostRate = LostRateKey(host.lost_rate);
            break;
        default:
            break;
    }
    return key;
}

ColumnCompare ColumnComparator(int column, bool ascending) {
    if (column < 0 || column >= kHostListColumns)
        return nullptr;
    return g_pfnColumnCompare[ascending ? column : column + kHostListColumns];
}

CRowSortResult SortRowMap(int column, bool ascending, const std::vector<int32_t>& selectedRows) {
    CRowSortResult out;
    const ColumnCompare compare = ColumnComparator(column, ascending);
    if (compare == nullptr || g_pHostList == nullptr || g_rowCount < 0)
        return out;
    const int32_t rows = std::min<int32_t>(g_rowCount, kRowMapSize);

    size_t marked = 0;
    for (int32_t row : selectedRows) {
        if (CHostItem* host = HostOfRow(row)) {
            if ((host->list_flags.fetch_or(kListSortMark) & kListSortMark) == 0)
                ++marked;
        }
    }

    // Keys first, then the sort: nothing read during the sort can change.
    struct Entry {
        CHostSortKey key;
        int32_t oldRow;
    };
    std::vector<Entry> entries(static_cast<size_t>(rows));
    for (int32_t r = 0; r < rows; ++r) {
        const int32_t index = g_rowToHost[r];
        const CHostItem* host = HostOfRow(r);
        CHostSortKey& key = entries[static_cast<size_t>(r)].key;
        if (host != nullptr)
            key = MakeSortKey(*host, index, column);
        else
            key.hostIndex = index;
        entries[static_cast<size_t>(r)].oldRow = r;
    }
    std::stable_sort(entries.begin(), entries.end(), [compare](const Entry& a, const Entry& b) {
        return compare(a.key, b.key) < 0;
    });

    out.newRowOfOldRow.assign(static_cast<size_t>(rows), 0);
    for (int32_t r = 0; r < rows; ++r) {
        const Entry& e = entries[static_cast<size_t>(r)];
        g_rowToHost[r] = e.key.hostIndex;
        out.newRowOfOldRow[static_cast<size_t>(e.oldRow)] = r;
        if (CHostItem* host = HostOfRow(r))
            host->row = static_cast<uint32_t>(r);
    }

    for (int32_t r = 0; r < rows && out.selectedRows.size() < marked; ++r) {
        CHostItem* host = HostOfRow(r);
        if (host != nullptr && (host->list_flags.fetch_and(~kListSortMark) & kListSortMark) != 0)
            out.selectedRows.push_back(r);
    }
    out.sorted = true;
    return out;
}

int32_t MoveRow(int32_t row, bool down) {
    if (!RowInRange(row))
        return -1;
    const int32_t other = down ? row + 1 : row - 1;
    if (!RowInRange(other))
        return -1;
    std::swap(g_rowToHost[row], g_rowToHost[other]);
    CHostItem* a = HostOfRow(row);
    CHostItem* b = HostOfRow(other);
    if (a != nullptr)
        a->row = static_cast<uint32_t>(row);
    if (b != nullptr)
        b->row = static_cast<uint32_t>(other);
    g_bSetupModified = 1;
    return other;
}

CRowDeleteResult DeleteRows(const std::vector<int32_t>& rows) {
    CRowDeleteResult out;
    CHostList* table = g_pHostList;
    if (table == nullptr || g_rowCount <= 0)
        return out;

    std::vector<int32_t> wanted;
    wanted.reserve(rows.size());
    for (int32_t row : rows) {
        if (RowInRange(row))
            wanted.push_back(row);
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    if (wanted.empty())
        return out;

    std::vector<CHostItem*> doomed;
    {
        std::unique_lock lock(table->lifetime);
        const uint32_t count = table->count.load(std::memory_order_relaxed);
        std::vector<uint8_t> deleteHost(count, 0);
        for (int32_t row : wanted) {
            const int32_t index = g_rowToHost[row];
            if (index < 0 || static_cast<uint32_t>(index) >= count || deleteHost[index] != 0 ||
                table->hosts[index].load(std::memory_order_relaxed) == nullptr)
                continue;
            deleteHost[index] = 1;
            out.deletedRows.push_back(row);
        }
        if (out.deletedRows.empty())
            return out;

        // Close the gaps in the table, keeping the order of the hosts that stay.
        std::vector<int32_t> newIndex(count, -1);
        uint32_t kept = 0;
        for (uint32_t i = 0; i < count; ++i) {
            CHostItem* host = table->hosts[i].load(std::memory_order_relaxed);
            if (deleteHost[i] != 0) {
                doomed.push_back(host);
                continue;
            }
            table->hosts[kept].store(host, std::memory_order_relaxed);
            newIndex[i] = static_cast<int32_t>(kept++);
        }
        for (uint32_t i = kept; i < count; ++i)
            table->hosts[i].store(nullptr, std::memory_order_relaxed);
        table->count.store(static_cast<uint16_t>(kept), std::memory_order_release);

        // Close the gaps in the row map; every host follows its row.
        size_t next = 0;
        int32_t w = 0;
        for (int32_t r = 0; r < g_rowCount; ++r) {
            if (next < out.deletedRows.size() && out.deletedRows[next] == r) {
                ++next;
                continue;
            }
            int32_t index = g_rowToHost[r];
            if (index >= 0 && static_cast<uint32_t>(index) < count) {
                // -1 when a second row named a deleted host: that row shows nothing now.
                index = newIndex[static_cast<size_t>(index)];
                CHostItem* host =
                    index >= 0 ? table->hosts[index].load(std::memory_order_relaxed) : nullptr;
                if (host != nullptr)
                    host->row = static_cast<uint32_t>(w);
            }
            g_rowToHost[w++] = index;
        }
        g_rowCount = w;

        for (CHostItem* host : doomed)
            delete host;
    }
    g_bSetupModified = 1;
    return out;
}

std::vector<int32_t> SetRowsSuspended(const std::vector<int32_t>& rows, bool suspended) {
    std::vector<int32_t> reached;
    for (int32_t row : rows) {
        CHostItem* host = HostOfRow(row);
        if (host == nullptr)
            continue;
        if (suspended)
            host->advance.fetch_or(kAdvanceSuspended);
        else
            host->advance.fetch_and(~kAdvanceSuspended);
        reached.push_back(row);
    }
    if (!reached.empty())
        g_bSetupModified = 1;
    return reached;
}

int ClearStatistics() {
    CHostList* table = g_pHostList;
    if (table == nullptr)
        return 0;
    int cleared = 0;
    const uint32_t count = table->count.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < count; ++i) {
        CHostItem* host = table->Host(i);
        if (host == nullptr)
            continue;
        host->rtt_sum = 0;
        host->lost_rate = 0.0f;
        std::snprintf(host->lost_rate_text, sizeof(host->lost_rate_text), "%s", kZeroLostRateText);
        host->recv_count.store(0);
        host->sent_count.store(0);
        ++cleared;
    }
    return cleared;
}
