#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

class CHostItem;
class CSetupInfo;

// The event list as the alert dispatch sees it. The event list view implements it; tests
// record the rows. The dispatch stamps each event once and writes the EVENT log line itself
// with the same moment, so the row and its line always agree and the line is written even
// while no list exists.
class EventRowSink {
public:
    virtual ~EventRowSink() = default;
    // Appends the row of `host`'s event, shown with the local time `local`. User-interface
    // thread.
    virtual void AddEvent(CHostItem* host, const std::tm& local) = 0;
};

// The event list while it exists, else nullptr (events are then only logged).
// User-interface thread.
extern EventRowSink* g_pEventRowSink;

// Turns one event of `host` into its alerts, in this order: the event row and its EVENT
// line; then, past the host's notify gate and each on its own switch, the mail job with its
// MAIL line, the program run with its EXEC line, the popup box and the sound request. A
// full or missing queue drops only its own job. Writes the host's `notified_state` when a
// mail or a program run is switched on. Never fails towards the caller; nullptr does
// nothing. User-interface thread.
void DispatchHostEvent(CHostItem* host);

// The event row of `host` and its EVENT line (when logchange is on and the log is open),
// both stamped with one reading of the clock. Returns 0. User-interface thread.
int AddEventRow(CHostItem* host);

// The addresses of the recipients in use whose group id equals `group`, in table order,
// duplicates kept (at most 256). Any thread that owns `setup`.
std::vector<std::string> SelectRecipients(const CSetupInfo& setup, uint16_t group);

// Builds the down mail (`down`) or the up mail of `host` from `setup`: subject and body
// expanded for the host, the recipients of its mail group, its priority; queues it on
// g_pMailThread with no owner and writes the MAIL line ("MAIL: ERROR " when the queue was
// full or no mail thread runs). Returns true when the job was queued. Also the way the
// repeated down mail is sent. User-interface thread.
bool QueueHostMail(CHostItem& host, const CSetupInfo& setup, bool down);

// Expands `execpara` for `host`, queues the run of `exefilename` on g_pExecThread with no
// owner and writes the EXEC line ("EXEC: ERROR " when the queue was full or no program
// thread runs). Returns true when the run was queued. User-interface thread.
bool QueueHostProgram(CHostItem& host, const CSetupInfo& setup);

// The popup of an event: the caption is the host's address text; the text is the caption,
// a blank and the name (when there is one), an empty line and the event text.
struct PopupText {
    std::string caption;
    std::string text;
};
PopupText BuildPopupText(const CHostItem& host);

// The beep pairs of the sound request: 0 (until stopped) when `beepbreak` is on, else
// `beepseconds`; none when a timed sound of no length (0 or less) is asked for, which the
// beep queue would otherwise take as "until stopped".
std::optional<int32_t> SoundRequestPairs(const CSetupInfo& setup);
