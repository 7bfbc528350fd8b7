#include "alerts/minute_work.h"

#include "alerts/alert_dispatch.h"
#include "alerts/log_file.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/host_list.h"

namespace {

// Calls `visit` for every filled host of the table in index order. A record that a dialog
// has added but not yet filled (a nested event loop may run this meanwhile) is left out.
template <typename Visit>
void ForEachHost(const CHostList& table, Visit visit) {
    const uint32_t count = table.count.load();
    for (uint32_t i = 0; i < count; ++i) {
        CHostItem* host = table.Host(i);
        if (host != nullptr && (host->list_flags.load() & kListUnfilled) == 0)
            visit(*host);
    }
}

}  // namespace

int WriteSummaryLines(const CSetupInfo& setup, const CHostList* table) {
    if (!LogTimeLine(setup))
        return 0;
    int written = 1;
    if (table != nullptr) {
        ForEachHost(*table, [&](CHostItem& host) {
            if (LogSummaryLine(host, setup))
                ++written;
        });
    }
    return written;
}

int RepeatDownMails(uint32_t& minuteCount, const CSetupInfo& setup, const CHostList* table) {
    ++minuteCount;
    // An interval of 0 or less checks on every tick, as the count is at least 1 here.
    if (minuteCount < static_cast<uint32_t>(setup.loopemailint))
        return 0;
    minuteCount = 0;
    if (setup.sendmail == 0 || setup.bneedloopmail == 0 || table == nullptr)
        return 0;
    int handed = 0;
    ForEachHost(*table, [&](CHostItem& host) {
        if (host.state != 2)
            return;
        QueueHostMail(host, setup, true);
        ++handed;
    });
    return handed;
}

void RunMinuteWork(uint32_t& minuteCount) {
    if (const CSetupInfo* setup = g_pSetupInfo) {
        const CHostList* table = g_pHostList;
        WriteSummaryLines(*setup, table);
        RepeatDownMails(minuteCount, *setup, table);
    }
    SaveSetupIfModified();
}
