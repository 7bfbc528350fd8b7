#include "mail/smtp_reply.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The three-digit code at the start of a line, -1 when the line does not start with one.
int LineCode(std::string_view line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]))
        return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

SmtpReplyParse ParseSmtpReply(std::string_view data) {
    SmtpReplyParse parse;
    size_t start = 0;
    for (;;) {
        const size_t end = data.find("\r\n", start);
        if (end == std::string_view::npos) {
            // No line end yet: refuse a line or reply that could only grow past the limits.
            // The longest line may still wait for the LF behind its CR.
            const size_t held = data.size() - start;
            const bool lineTooLong = held > kMaxReplyLineBytes + 1 ||
                                     (held == kMaxReplyLineBytes + 1 && data.back() != '\r');
            if (lineTooLong || data.size() >= kMaxReplyBytes)
                parse.status = SmtpReplyParse::kTooLong;
            return parse;
        }
        const std::string_view line = data.substr(start, end - start);
        if (line.size() > kMaxReplyLineBytes || end + 2 > kMaxReplyBytes) {
            parse.status = SmtpReplyParse::kTooLong;
            return parse;
        }
        const int code = LineCode(line);
        start = end + 2;
        if (code >= 0 && line.size() > 3 && line[3] == '-')
            continue;
        parse.status = SmtpReplyParse::kComplete;
        parse.consumed = start;
        parse.code = code;
        parse.text.assign(data.substr(0, end));
        return parse;
    }
}
