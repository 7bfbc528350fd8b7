#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Parser of SMTP replies as they arrive from the server (untrusted input). Used by the
// SMTP client; any thread, no state.

// A reply line may hold at most this many bytes before its CR LF, and a whole multi-line
// reply at most kMaxReplyBytes; a server that sends more is refused rather than buffered.
constexpr size_t kMaxReplyLineBytes = 999;
constexpr size_t kMaxReplyBytes = 16384;

struct SmtpReplyParse {
    enum Status { kIncomplete, kComplete, kTooLong };
    Status status = kIncomplete;
    size_t consumed = 0;  // bytes of the input that the complete reply takes, CR LF included
    int code = -1;        // code of the final line; -1 when it does not start with 3 digits
    std::string text;     // every line of the reply, joined by CR LF, without the last CR LF
};

// Looks for one whole reply at the start of `data`: lines ending in CR LF, where a line
// whose code is followed by '-' continues the reply and any other line ends it.
SmtpReplyParse ParseSmtpReply(std::string_view data);
