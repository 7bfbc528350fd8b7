#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CHostItem;

// The host list's columns, and the row-map operations that the host list control runs on
// g_rowToHost, g_rowCount and the host table. None of these touch a window: each returns
// what the list must refresh, and the list control does the refreshing. They keep the row
// invariant: for every row r below g_rowCount, the host at g_rowToHost[r] has row == r.
// User-interface thread only (the thread that creates and destroys host records).

constexpr int kHostListColumns = 8;

// The values one host is sorted by, copied from its record before sorting starts: the
// engine keeps changing the live counters, and a sort whose keys move under it has no
// consistent order to find. Only the fields of the sorted column are filled.
struct CHostSortKey {
    int32_t hostIndex = -1;
    std::string text;      // name (0), hostname (1) or rtt_text (4)
    uint32_t addr4 = 0;    // IPv4 address in host byte order (1)
    uint32_t number = 0;   // result (2), ttl (3), sent_count (5) or recv_count (6)
    int64_t lostRate = 0;  // lost_rate x 10,000, truncated (7)
};

// The key of `host` for sorting by `column`; `hostIndex` is stored with it.
CHostSortKey MakeSortKey(const CHostItem& host, int32_t hostIndex, int column);

// Three-way comparison of two keys: negative, 0 or positive.
using ColumnCompare = int (*)(const CHostSortKey& a, const CHostSortKey& b);

// The sixteen comparators: entries 0 to 7 sort columns 0 to 7 ascending, 8 to 15 the same
// columns descending. Texts compare byte-wise (unsigned bytes, case-sensitive, a shorter
// text before its extensions), so "100ms /..." sorts before "12ms /..."; the address column
// compares addresses as numbers and equal addresses (every IPv6 host has address 0) by host
// name; loss rates closer than 0.0001 percent compare equal. Every entry is a proper
// three-way comparison (no wrapped differences), so sorting by it is well defined.
extern const ColumnCompare g_pfnColumnCompare[2 * kHostListColumns];

// The comparator of a column and direction; nullptr for a column out of range.
ColumnCompare ColumnComparator(int column, bool ascending);

// What a sort did: where each old row went, and where the rows that were selected are now.
struct CRowSortResult {
    bool sorted = false;                  // false for a bad column or no host table
    std::vector<int32_t> newRowOfOldRow;  // one entry per row; identity when nothing moved
    std::vector<int32_t> selectedRows;    // ascending
};

// Sorts g_rowToHost[0 .. g_rowCount) by `column` in the given direction and gives every
// host its new row. Hosts of `selectedRows` carry the sort mark (list_flags bit 2) through
// the sort, and the rows where the marks end up come back as the new selection, marks
// cleared. Hosts with equal keys keep their order relative to each other.
CRowSortResult SortRowMap(int column, bool ascending, const std::vector<int32_t>& selectedRows);

// Swaps row `row` with the one below (down) or above it and swaps the two hosts' rows.
// Returns the other row, or -1 when nothing moved (no such row, last row down, row 0 up).
// Sets g_bSetupModified when it moved something (the stored host order follows the rows).
int32_t MoveRow(int32_t row, bool down);

// What a deletion did.
struct CRowDeleteResult {
    // Rows removed, ascending, numbered as before the deletion; the rows after each one
    // moved up accordingly.
    std::vector<int32_t> deletedRows;
};

// Deletes the hosts shown in `rows` (any order; duplicates and rows at or past g_rowCount
// are ignored, and so is a row whose host slot is empty): their records leave the table,
// the hosts after them move down to close the gaps (so their host indexes and echo
// identifiers change: meant for a stopped service), the rows close up and every host's row
// follows. Linear in the table's size. Records are destroyed under the table's exclusive
// lifetime lock, so no worker thread can still be touching them. Sets g_bSetupModified
// when anything was deleted.
CRowDeleteResult DeleteRows(const std::vector<int32_t>& rows);

// Sets (suspend) or clears (resume) the suspended bit (advance bit 0) of the hosts shown in
// `rows` and sets g_bSetupModified when any row had a host. Returns the rows whose host it
// reached, for repainting (a suspended row is drawn grey).
std::vector<int32_t> SetRowsSuspended(const std::vector<int32_t>& rows, bool suspended);

// Clears the counters of every host: sent and received counts, round-trip sum and loss
// rate (text "0.00%"); round-trip times, run count, up flag, result and state stay. Returns
// the number of hosts cleared; the list then shows "0" in columns 5, 6 and 7 of every row
// until each row's next refresh.
int ClearStatistics();

// The text of a zero loss rate, as the loss-rate column writes it.
constexpr const char* kZeroLostRateText = "0.00%";
