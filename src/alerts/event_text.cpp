#include "alerts/event_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include <arpa/inet.h>

#include "engine/host_item.h"

const char* const g_eventNames[kEventNameCount] = {
    "peer is up",
    "the state of peer is changed",
    "peer is down",
    "lost rate is more than switch",
    "lost rate is more than switch",
};

namespace {

// Our own tables, so a user locale can never change the names.
constexpr std::array<const char*, 7> kDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                  "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

TextClock g_textClock = nullptr;

// Appends `value` as decimal digits, zero-padded to `width`.
void AppendNumber(std::string& out, long value, int width) {
    char digits[24];
    bool negative = value < 0;
    unsigned long magnitude =
        negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    auto result = std::to_chars(digits, digits + sizeof digits, magnitude);
    int length = static_cast<int>(result.ptr - digits);
    if (negative)
        out.push_back('-');
    for (int i = length; i < width; ++i)
        out.push_back('0');
    out.append(digits, result.ptr);
}

// Keeps a field from indexing past a table when a struct tm holds odd values.
const char* TableName(const char* const* table, int size, int index) {
    return index >= 0 && index < size ? table[index] : "?";
}

}  // namespace

const char* EventName(int state) {
    return state >= 0 && state < kEventNameCount ? g_eventNames[state] : "";
}

std::string EventText(const CHostItem& host) {
    if (!host.event_text.empty())
        return host.event_text;
    return EventName(host.state);
}

std::string AddressText(const CHostItem& host) {
    char text[INET6_ADDRSTRLEN] = {};
    if (host.IsIPv6()) {
        if (inet_ntop(AF_INET6, &host.addr6.sin6_addr, text, sizeof text) == nullptr)
            return std::string();
        return text;
    }
    in_addr address{};
    address.s_addr = host.LoadAddr4();
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr)
        return std::string();
    return text;
}

std::string EventListAddressText(const CHostItem& host) {
    std::string text = AddressText(host);
    if (!host.IsIPv6())
        text.push_back(' ');
    return text;
}

int ReplaceAll(std::string& text, const std::string& placeholder, const std::string& value) {
    if (placeholder.empty())
        return 0;
    size_t found = text.find(placeholder);
    if (found == std::string::npos)
        return 0;
    std::string result;
    result.reserve(text.size() + value.size());
    size_t position = 0;
    int replaced = 0;
    while (found != std::string::npos) {
        result.append(text, position, found - position);
        result.append(value);
        position = found + placeholder.size();
        ++replaced;
        found = text.find(placeholder, position);
    }
    result.append(text, position, std::string::npos);
    text.swap(result);
    return replaced;
}

std::string FormatDateText(const std::tm& local) {
    std::string out;
    out.reserve(48);
    out.append(TableName(kDayNames.data(), 7, local.tm_wday));
    out.append(", ");
    out.append(TableName(kMonthNames.data(), 12, local.tm_mon));
    out.push_back(' ');
    AppendNumber(out, local.tm_mday, 2);
    out.append(", ");
    AppendNumber(out, 1900L + local.tm_year, 4);
    out.append("  ");
    AppendNumber(out, local.tm_hour, 2);
    out.push_back(':');
    AppendNumber(out, local.tm_min, 2);
    out.push_back(':');
    AppendNumber(out, local.tm_sec, 2);
    return out;
}

std::string FormatCsvDateText(const std::tm& local) {
    std::string out;
    out.reserve(24);
    AppendNumber(out, local.tm_mday, 2);
    out.push_back('/');
    AppendNumber(out, local.tm_mon + 1, 2);
    out.push_back('/');
    AppendNumber(out, 1900L + local.tm_year, 4);
    out.push_back(',');
    AppendNumber(out, local.tm_hour, 2);
    out.push_back(':');
    AppendNumber(out, local.tm_min, 2);
    out.push_back(':');
    AppendNumber(out, local.tm_sec, 2);
    return out;
}

std::string FormatTwoDecimals(double value) {
    // to_chars never consults the locale; 350 bytes hold any double in fixed form.
    char digits[400];
    auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 2);
    if (result.ec != std::errc())
        return std::string();
    return std::string(digits, result.ptr);
}

bool ToLocalTime(std::time_t when, std::tm& local) {
    // localtime_r need not notice a changed TZ by itself.
    tzset();
    return localtime_r(&when, &local) != nullptr;
}

void SetTextClock(TextClock clock) {
    g_textClock = clock;
}

std::time_t TextNow() {
    return g_textClock != nullptr ? g_textClock() : std::time(nullptr);
}

std::string NowText() {
    std::tm local{};
    if (!ToLocalTime(TextNow(), local))
        return std::string();
    return FormatDateText(local);
}

int FormatNowText(char* buffer) {
    std::string text = NowText();
    size_t length = std::min(text.size(), kDateTextBufferSize - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return 0;
}

int CHostItem::ExpandEventText(std::string& text) {
    ReplaceAll(text, kPlaceholderName, name);
    ReplaceAll(text, kPlaceholderHost, AddressText(*this));
    if (text.find(kPlaceholderDateTime) != std::string::npos)
        ReplaceAll(text, kPlaceholderDateTime, NowText());
    ReplaceAll(text, kPlaceholderEvent, EventText(*this));
    ReplaceAll(text, kPlaceholderLostRate,
               std::string(lost_rate_text, strnlen(lost_rate_text, sizeof lost_rate_text)));
    return 0;
}
