#pragma once

#include <cstddef>
#include <ctime>
#include <string>

class CHostItem;

constexpr int kEventNameCount = 5;
// Room a caller gives FormatNowText; the text is cut at one byte less.
constexpr size_t kDateTextBufferSize = 256;

// Event names indexed by host state: 0 up, 1 changing, 2 down, 3 and 4 loss rate over the
// threshold. Constant data, so readable from any thread at any time.
extern const char* const g_eventNames[kEventNameCount];

// The five placeholders, in the order ExpandEventText fills them.
constexpr const char* kPlaceholderName = "<NAME>";
constexpr const char* kPlaceholderHost = "<HOST>";
constexpr const char* kPlaceholderDateTime = "<DATE TIME>";
constexpr const char* kPlaceholderEvent = "<EVENT>";
constexpr const char* kPlaceholderLostRate = "<LOST RATE>";

// The event name of `state`; "" for a value outside 0..4, so a bad state can never index
// past the table. Any thread.
const char* EventName(int state);

// The host's `event_text` when set (a TTL event), else the event name of its state.
// User-interface thread.
std::string EventText(const CHostItem& host);

// The IPv6 text when the host has an IPv6 address, else its dotted IPv4 address.
std::string AddressText(const CHostItem& host);

// The event list's form: the IPv6 text, or the dotted IPv4 address followed by one blank.
std::string EventListAddressText(const CHostItem& host);

// Replaces every `placeholder` in `text` with `value`, left to right without overlap. The
// search resumes after each inserted value, so a value that contains the placeholder is
// never searched again and the replacement always ends. Returns the number replaced.
int ReplaceAll(std::string& text, const std::string& placeholder, const std::string& value);

// "%A, %B %d, %Y  %H:%M:%S" with English names and ASCII digits, whatever the locale.
std::string FormatDateText(const std::tm& local);
// "%d/%m/%Y,%H:%M:%S" (date and time fields of the CSV event line).
std::string FormatCsvDateText(const std::tm& local);
// "%.2f" with a decimal point, whatever the locale.
std::string FormatTwoDecimals(double value);

// Local time of `when` following TZ; false when it cannot be represented.
bool ToLocalTime(std::time_t when, std::tm& local);

// The clock behind "now" in the event texts and log lines. nullptr restores the system
// clock. For tests; call while no other thread formats texts.
using TextClock = std::time_t (*)();
void SetTextClock(TextClock clock);
std::time_t TextNow();

// The date text of now.
std::string NowText();
// Writes the date text of now into `buffer` (kDateTextBufferSize bytes at least), cut at
// 255 bytes and terminated; returns 0.
int FormatNowText(char* buffer);
