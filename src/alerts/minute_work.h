#pragma once

#include <cstdint>

class CSetupInfo;
struct CHostList;

// The work the host list view does on every tick of the main frame's minute timer: the
// statistics lines of the log, the repeated down mail and the save of a changed setup.
// Everything here runs on the user-interface thread, which alone adds and removes host
// records, so the table is walked without its lifetime lock; counters that the engine
// threads update may mix values of consecutive replies.

// The TIME line and then, in table order, the SUMMARY line of every host that has an IPv4
// address; only while `logall` is on and the log file is open. Returns the number of lines
// written.
int WriteSummaryLines(const CSetupInfo& setup, const CHostList* table);

// Counts one minute in `minuteCount`. When the count reaches `loopemailint` it starts again
// from 0 and, if `sendmail` and `bneedloopmail` are both on, the down mail is queued again,
// in table order, for every host that is still down (state 2), whatever its notify choice;
// each with its MAIL line when `lognotify` is on. Returns the number of mails handed to the
// mail queue (a full queue refuses them, which the MAIL line tells).
int RepeatDownMails(uint32_t& minuteCount, const CSetupInfo& setup, const CHostList* table);

// One minute tick: the summary, the repeated down mail (both on g_pSetupInfo and
// g_pHostList, skipped while either is missing) and SaveSetupIfModified, in that order.
void RunMinuteWork(uint32_t& minuteCount);
