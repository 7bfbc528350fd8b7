#include "mail/smtp_client.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "mail/base64.h"
#include "mail/smtp_reply.h"
#include "platform/last_error.h"
#include "platform/message_target.h"
#include "platform/tick.h"

namespace {

// How often a wait checks whether the calling worker thread was told to stop.
constexpr uint32_t kStopCheckSliceMs = 100;

std::atomic<uint32_t> g_defaultIdleLimitMs{CSMTPConnection::kDefaultIdleLimitMs};
std::atomic<uint32_t> g_defaultWaitMs{CSMTPConnection::kDefaultWaitMs};

constexpr const char* kXMailer = "CSMTPConnection v1.21";

// Header lines longer than this are folded where the text allows (RFC 5322 2.1.1).
constexpr size_t kFoldColumn = 78;
// A line that holds encoded words may not be longer (RFC 2047 2).
constexpr size_t kEncodedWordColumn = 76;
// The longest word, with the blanks before it, that fits a header line of 998 octets behind
// any field name written here; a longer one cannot be folded and goes as encoded words.
constexpr size_t kLongestWord = 998 - sizeof "X-Mailer: ";
constexpr const char* kEncodedWordStart = "=?UTF-8?B?";
// The blanks at which header text may be folded.
constexpr const char* kBlanks = " \t";
// The longest body line that servers take: longer ones go quoted-printable.
constexpr size_t kMaxBodyLine = 998;
// UTF-8 bytes per encoded word: with "=?UTF-8?B?" and "?=" its 52 Base64 characters make a
// word of 64, which fits a line even behind "Subject: ".
constexpr size_t kEncodedWordBytes = 39;

// A CR or LF in a header value would start a header line of its own.
std::string HeaderSafe(std::string text) {
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A character that may stand in an atom (RFC 5322 3.2.3).
bool IsAtomText(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

// True when `name` is atoms separated by single blanks, so that it may stand unquoted.
bool IsPhraseOfAtoms(const std::string& name) {
    bool atomStart = true;
    for (const char c : name) {
        if (c == ' ') {
            if (atomStart)
                return false;
            atomStart = true;
        } else if (!IsAtomText(c)) {
            return false;
        } else {
            atomStart = false;
        }
    }
    return !atomStart;
}

std::string QuotedString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// Non-ASCII text as RFC 2047 encoded words (UTF-8, Base64) separated by blanks, which
// readers drop between encoded words. Words end on character boundaries, so each decodes
// on its own.
std::string EncodedWords(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.size(), start + kEncodedWordBytes);
        while (end < text.size() && end > start + 1 &&
               (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        if (!out.empty())
            out += ' ';
        CMimeString encoded(CMimeString::kEncode, CMimeString::kBase64Algo,
                            text.substr(start, end - start));
        out += kEncodedWordStart + encoded.GetString() + "?=";
        start = end;
    }
    return out;
}

// Appends the pieces of `text` at which a folded line may end: each run of blanks begins a
// piece together with the word after it, so that a fold never leaves blanks alone on a line.
void AppendWords(std::vector<std::string>& pieces, const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t word = std::min(text.find_first_not_of(kBlanks, start), text.size());
        const size_t end = std::min(text.find_first_of(kBlanks, word), text.size());
        pieces.push_back(text.substr(start, end - start));
        start = end;
    }
}

// Header text as it is when ASCII and every word fits a line, else as encoded words.
std::string HeaderText(const std::string& text) {
    std::vector<std::string> pieces;
    AppendWords(pieces, text);
    const bool fits = std::all_of(pieces.begin(), pieces.end(),
                                  [](const std::string& p) { return p.size() <= kLongestWord; });
    return IsAscii(text) && fits ? text : EncodedWords(text);
}

// One header line from its field name and pieces, folded before a piece where the line
// would pass 78 characters, or 76 once it holds encoded words: a piece that begins with a
// blank moves to the next line as it is, any other gets a blank in front. Never between the
// field name and its first piece, nor before blanks that end the text: a line of blanks
// alone ends the header for lax readers.
std::string FoldedField(const std::vector<std::string>& pieces) {
    std::string out;
    size_t lineStart = 0;
    bool encodedLine = false;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        const bool encoded = piece.find(kEncodedWordStart) != std::string::npos;
        const size_t column = encoded || encodedLine ? kEncodedWordColumn : kFoldColumn;
        if (i >= 2 && out.size() - lineStart + piece.size() > column &&
            piece.find_first_not_of(kBlanks) != std::string::npos) {
            out += "\r\n";
            lineStart = out.size();
            encodedLine = false;
            if (piece.find_first_of(kBlanks) != 0)
                out += ' ';
        }
        out += piece;
        encodedLine = encodedLine || encoded;
    }
    return out + "\r\n";
}

std::string Field(const char* name, const std::string& value) {
    std::vector<std::string> pieces = {std::string(name) + ":"};
    AppendWords(pieces, " " + value);
    return FoldedField(pieces);
}

// A host name or mail domain that may stand as it is in a greeting or a Message-ID.
bool IsPlainDomain(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.back() != '.' &&
           name.find("..") == std::string::npos &&
           name.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyz"
               "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
               "0123456789-.") == std::string::npos;
}

// The local host name when it is a plain domain name, else empty.
std::string PlainHostName() {
    char name[100];
    if (gethostname(name, sizeof name) != 0 || std::memchr(name, '\0', sizeof name) == nullptr)
        return std::string();
    return IsPlainDomain(name) ? std::string(name) : std::string();
}

size_t LongestLine(const std::string& text) {
    size_t longest = 0;
    for (size_t start = 0;;) {
        const size_t end = std::min(text.find("\r\n", start), text.size());
        longest = std::max(longest, end - start);
        if (end == text.size())
            return longest;
        start = end + 2;
    }
}

// Quoted-printable (RFC 2045 6.7) of text whose line ends are CR LF: lines of at most 76
// characters; '=', bytes that are not printable ASCII, and a blank or tab that would end a
// line as "=XX".
std::string QuotedPrintable(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    size_t column = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (text.compare(i, 2, "\r\n") == 0) {
            out += "\r\n";
            ++i;
            column = 0;
            continue;
        }
        const bool lineEnd = i + 1 == text.size() || text.compare(i + 1, 2, "\r\n") == 0;
        const bool literal =
            (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !lineEnd);
        const size_t width = literal ? 1 : 3;
        if (column + width > 75) {
            out += "=\r\n";
            column = 0;
        }
        if (literal) {
            out += static_cast<char>(c);
        } else {
            out += '=';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        column += width;
    }
    return out;
}

// An address goes bare into "MAIL FROM:<...>" and "RCPT TO:<...>": anything that could end
// the command or the brackets early would let it smuggle in commands of its own.
bool AddressIsSafe(const std::string& address) {
    return address.find_first_of(std::string("\r\n<>\0", 5)) == std::string::npos;
}

void SetSocketError(int errnoValue) {
    SetLastErrorCode(SocketErrorCode(errnoValue));
}

}  // namespace

int SocketErrorCode(int e) {
    switch (e) {
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return kWsaErrorInvalidArgument;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EAGAIN:
            return 10035;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case EMSGSIZE:
            return kWsaErrorMessageSize;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
        case EPIPE:
            return kWsaErrorConnReset;
        case ENOBUFS:
        case ENOMEM:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return kWsaErrorNotConnected;
        case ETIMEDOUT:
            return kWsaErrorTimedOut;
        case ECONNREFUSED:
            return kWsaErrorConnRefused;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10000 + e;
    }
}

int MailResultOf(bool logOn, bool connected, bool sent) {
    if (!connected)
        return logOn ? kMailResultLoginConnectFailed : kMailResultConnectFailed;
    return sent ? kMailResultSent : kMailResultSendFailed;
}

bool StopGrace::Over(bool stopping) {
    if (!stopping)
        return false;
    if (!m_started) {
        m_started = true;
        m_startTick = GetTick();
    }
    return GetTick() - m_startTick > m_graceMs;
}

// ---------------------------------------------------------------------------------------
// CSMTPAddress

CSMTPAddress::CSMTPAddress(std::string friendlyName, std::string emailAddress)
    : m_sFriendlyName(std::move(friendlyName)), m_sEmailAddress(std::move(emailAddress)) {}

std::string CSMTPAddress::FormatAddress() const {
    const std::string name = HeaderSafe(m_sFriendlyName);
    const std::string address = HeaderSafe(m_sEmailAddress);
    if (name.empty())
        return address;
    // An address is no display name ('@' and '.' are specials): readers and strict servers
    // refuse "a@b <a@b>".
    if (name == address)
        return "<" + address + ">";
    const std::string text = HeaderText(name);
    const std::string phrase = text != name            ? text
                               : IsPhraseOfAtoms(name) ? name
                                                       : QuotedString(name);
    return phrase + " <" + address + ">";
}

// ---------------------------------------------------------------------------------------
// CSMTPMessage

CSMTPMessage::CSMTPMessage() : m_sXMailer(kXMailer) {}

void CSMTPMessage::SetBody(const std::string& text) {
    // Line ends are made CR LF first: a lone LF or CR left in the body could otherwise pair
    // up with a following "." into an end-of-data line on some servers.
    m_sText = NormalizeLineEnds(text);
    EncodeBody(true);
}

void CSMTPMessage::EncodeBody(bool eightBit) {
    std::string stuffed = m_sText;
    StuffDots(stuffed);
    // Servers refuse a line over 998 octets, and relays break it; quoted-printable brings it
    // to the reader unchanged. So it does 8-bit text through a server that may strip the
    // high bit because it never said it takes 8BITMIME.
    if (LongestLine(stuffed) > kMaxBodyLine || (!eightBit && !IsAscii(m_sText))) {
        m_pTransferEncoding = "quoted-printable";
        m_sBody = QuotedPrintable(m_sText);
        StuffDots(m_sBody);
        return;
    }
    m_pTransferEncoding = IsAscii(m_sText) ? "7bit" : "8bit";
    m_sBody.swap(stuffed);
}

int CSMTPMessage::AddRecipient(const CSMTPAddress& address) {
    m_Recipients.push_back(address);
    return static_cast<int>(m_Recipients.size()) - 1;
}

std::optional<CSMTPAddress> CSMTPMessage::GetRecipient(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_Recipients.size())
        return std::nullopt;
    return m_Recipients[static_cast<size_t>(index)];
}

std::string CSMTPMessage::NormalizeLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 2);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

void CSMTPMessage::StuffDots(std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = c == '\n';
    }
    text.swap(out);
}

std::string CSMTPMessage::FormatDate(time_t when) {
    // Mail dates use English names whatever the user's locale is.
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm local {};
    if (localtime_r(&when, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 ||
        local.tm_mon < 0 || local.tm_mon > 11)
        return std::string();
    // The zone as a numeric offset: zone names are not valid in mail ("CET" reads as
    // unknown, "+05" as five minutes).
    const long offset = local.tm_gmtoff < 0 ? -local.tm_gmtoff : local.tm_gmtoff;
    char text[128];
    const int n = std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d %c%02ld%02ld",
                                kDays[local.tm_wday], local.tm_mday, kMonths[local.tm_mon],
                                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                                local.tm_gmtoff < 0 ? '-' : '+', offset / 3600, offset / 60 % 60);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text)
        return std::string();
    return std::string(text, static_cast<size_t>(n));
}

std::string CSMTPMessage::BuildHeader(int highPriority) const {
    return BuildHeaderAt(highPriority, time(nullptr));
}

std::string CSMTPMessage::MakeMessageId(time_t when, const std::string& senderAddress) {
    static std::atomic<uint32_t> counter{0};
    std::string domain = PlainHostName();
    if (domain.find('.') == std::string::npos) {
        const size_t at = senderAddress.rfind('@');
        const std::string senderDomain =
            at == std::string::npos ? "" : senderAddress.substr(at + 1);
        if (IsPlainDomain(senderDomain))
            domain = senderDomain;
        else if (domain.empty())
            domain = "localhost";
    }
    return "<" + std::to_string(static_cast<long long>(when)) + "." + std::to_string(getpid()) +
           "." + std::to_string(++counter) + "@" + domain + ">";
}

std::string CSMTPMessage::BuildHeaderAt(int highPriority, time_t when) const {
    std::vector<std::string> to = {"To:"};
    for (size_t i = 0; i < m_Recipients.size(); ++i) {
        // Appended rather than `" " + text`: GCC 12 at -O3 reports a false -Wrestrict there.
        std::string address = i == 0 ? " " : "";
        address += m_Recipients[i].FormatAddress();
        AppendWords(to, address);
        if (i + 1 < m_Recipients.size())
            to.back() += ',';
    }
    if (m_Recipients.empty())
        to.push_back(" ");
    std::string header = Field("From", m_From.FormatAddress());
    header += FoldedField(to);
    header += Field("Subject", HeaderText(HeaderSafe(m_sSubject)));
    header += Field("Date", FormatDate(when));
    if (highPriority != 0)
        header += "X-Priority: 1\r\nX-MSMail-Priority: High\r\n";
    header += Field("X-Mailer", HeaderSafe(m_sXMailer));
    header += "Message-ID: " + MakeMessageId(when, m_From.m_sEmailAddress) + "\r\n";
    header += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n";
    header += std::string("Content-Transfer-Encoding: ") + m_pTransferEncoding + "\r\n\r\n";
    return header;
}

// ---------------------------------------------------------------------------------------
// CSMTPConnection

namespace {

// Mail submission with TLS from the first byte (RFC 8314).
constexpr uint16_t kImplicitTlsPort = 465;

// The socket under TLS. Reads never block, so every wait is a poll within the dialogue's
// limits (a server that sends half a record and stalls costs no more than a silent one);
// writes go out with MSG_NOSIGNAL like the plain dialogue's.
int SocketOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int SocketBioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t n = send(SocketOf(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int SocketBioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t n = recv(SocketOf(bio), data, static_cast<size_t>(length), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long SocketBioControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "smtp socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, SocketBioWrite);
            BIO_meth_set_read(m, SocketBioRead);
            BIO_meth_set_ctrl(m, SocketBioControl);
        }
        return m;
    }();
    return method;
}

// The first of the thread's TLS errors in words; the queue is emptied.
std::string TlsErrorText() {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return reason != nullptr ? reason : "the connection broke";
}

// A failure without a reply from the server, in words.
std::string ErrorText(int code) {
    switch (code) {
        case kWsaErrorTimedOut:
            return "the server did not answer in time";
        case kWsaErrorConnRefused:
            return "connection refused";
        case kWsaErrorConnReset:
            return "the server closed the connection";
        case kWsaErrorInvalidArgument:
            return "no server name, or it does not resolve";
        case kWsaErrorInterrupted:
            return "the program was ending";
        case kErrorInvalidParameter:
            return "an address holds CR, LF, '<' or '>'";
        case kWsaErrorMessageSize:
            return "the server's reply is too long";
        default:
            return "error " + std::to_string(code);
    }
}

}  // namespace

CSMTPConnection::CSMTPConnection()
    : m_dwIdleLimit(g_defaultIdleLimitMs.load()), m_dwWaitMs(g_defaultWaitMs.load()) {}

CSMTPConnection::~CSMTPConnection() {
    if (m_bConnected != 0)
        Disconnect();
    CloseSocket();
}

void CSMTPConnection::SetReplyTimeLimits(uint32_t idleLimitMs, uint32_t waitMs) {
    m_dwIdleLimit = idleLimitMs;
    m_dwWaitMs = waitMs == 0 ? 1 : waitMs;
}

void CSMTPConnection::SetDefaultReplyTimeLimits(uint32_t idleLimitMs, uint32_t waitMs) {
    g_defaultIdleLimitMs.store(idleLimitMs);
    g_defaultWaitMs.store(waitMs == 0 ? 1 : waitMs);
}

bool CSMTPConnection::StopEndsWait() {
    return m_stopGrace != nullptr ? m_stopGrace->Over(CurrentThreadStopping())
                                  : CurrentThreadStopping();
}

void CSMTPConnection::CloseSocket() {
    if (m_tls != nullptr) {
        // close_notify says the end was meant; a server that went silent is not told.
        if (!m_bTimedOut && SSL_is_init_finished(m_tls))
            SSL_shutdown(m_tls);
        SSL_free(m_tls);
        m_tls = nullptr;
        ERR_clear_error();
    }
    if (m_tlsContext != nullptr) {
        SSL_CTX_free(m_tlsContext);
        m_tlsContext = nullptr;
    }
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
    m_pending.clear();
}

bool CSMTPConnection::OpenSocket() {
    // A connection object serves one mail; a second connect first ends the first one.
    if (m_bConnected != 0)
        Disconnect();
    CloseSocket();
    m_bTimedOut = false;
    m_bVerified = false;
    m_extensions.clear();
    m_sLastReply.clear();
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        SetSocketError(errno);
        return false;
    }
    return true;
}

bool CSMTPConnection::ConnectSocket(const char* server, uint16_t port) {
    if (server == nullptr || *server == '\0') {
        SetLastErrorCode(kWsaErrorInvalidArgument);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(server, nullptr, &hints, &found) != 0 || found == nullptr) {
        if (found != nullptr)
            freeaddrinfo(found);
        SetLastErrorCode(kWsaErrorInvalidArgument);
        return false;
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, std::min<size_t>(sizeof address, found->ai_addrlen));
    freeaddrinfo(found);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);

    // The connect runs non-blocking, so that a worker told to stop can give up on a server
    // that never answers, and so that such a server costs no more than the idle limit of a
    // silent one: left to the kernel's SYN retries a connect lasts about two minutes, and
    // every mail queued behind it would wait that long. The socket is blocking again for
    // the dialogue.
    const int flags = fcntl(m_socket, F_GETFL);
    fcntl(m_socket, F_SETFL, flags | O_NONBLOCK);
    const uint32_t start = GetTick();
    if (connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        fcntl(m_socket, F_SETFL, flags);
        return true;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        SetSocketError(errno);
        return false;
    }
    if (!WaitSocket(POLLOUT, start, m_dwIdleLimit))
        return false;
    fcntl(m_socket, F_SETFL, flags);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        SetSocketError(errno);
        return false;
    }
    if (error != 0) {
        SetSocketError(error);
        return false;
    }
    return true;
}

bool CSMTPConnection::WaitSocket(short events, uint32_t since, uint32_t waitMs) {
    for (;;) {
        const uint32_t elapsed = GetTick() - since;
        if (elapsed > m_dwIdleLimit) {
            SetLastErrorCode(kWsaErrorTimedOut);
            return false;
        }
        const uint32_t left = m_dwIdleLimit - elapsed + 1;
        pollfd p{m_socket, events, 0};
        const int ready =
            poll(&p, 1, static_cast<int>(std::min({waitMs, left, kStopCheckSliceMs})));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            SetSocketError(errno);
            return false;
        }
        if (ready == 0 && StopEndsWait()) {
            SetLastErrorCode(kWsaErrorInterrupted);
            return false;
        }
    }
}

ssize_t CSMTPConnection::SendSome(const char* data, size_t length) {
    if (m_tls == nullptr)
        return send(m_socket, data, length, MSG_NOSIGNAL);
    ERR_clear_error();
    const int n = SSL_write(m_tls, data, static_cast<int>(std::min<size_t>(length, INT_MAX)));
    const int saved = errno;
    if (n > 0)
        return n;
    const int error = SSL_get_error(m_tls, n);
    // An interrupted send is tried again with the same bytes, as TLS requires.
    errno = error == SSL_ERROR_WANT_WRITE              ? EINTR
            : error == SSL_ERROR_SYSCALL && saved != 0 ? saved
                                                       : ECONNRESET;
    return -1;
}

ssize_t CSMTPConnection::ReceiveSome(char* buffer, size_t room) {
    if (m_tls == nullptr)
        return recv(m_socket, buffer, room, 0);
    ERR_clear_error();
    const int n = SSL_read(m_tls, buffer, static_cast<int>(room));
    const int saved = errno;
    if (n > 0)
        return n;
    switch (SSL_get_error(m_tls, n)) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:  // a record not yet whole, or one without data
        case SSL_ERROR_WANT_WRITE:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_SYSCALL:
            errno = saved != 0 ? saved : ECONNRESET;
            return -1;
        default:
            if (m_sFailReason.empty())
                m_sFailReason = "TLS failed: " + TlsErrorText();
            errno = ECONNRESET;
            return -1;
    }
}

bool CSMTPConnection::SendRaw(const char* data, size_t length) {
    if (m_socket < 0) {
        SetLastErrorCode(kWsaErrorNotConnected);
        return false;
    }
    // Everything must go out; a partial send is a failure, never a success. MSG_NOSIGNAL:
    // a server that went away must not end the whole program with SIGPIPE.
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = SendSome(data + sent, length - sent);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetSocketError(errno);
            return false;
        }
        if (n == 0) {
            SetLastErrorCode(kWsaErrorConnReset);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool CSMTPConnection::FailRead(int code) {
    // What arrived of a reply that failed is kept for the caller; the stream behind it can
    // no longer be trusted to start at a reply, so nothing of it is read as the next one.
    if (m_pending.empty() && m_sFailReason.empty())
        m_sFailReason = ErrorText(code);
    m_sLastReply = m_pending;
    m_pending.clear();
    m_bTimedOut = m_bTimedOut || code == kWsaErrorTimedOut;
    SetLastErrorCode(code);
    return false;
}

bool CSMTPConnection::ReceiveReply(uint32_t& lastDataTick, std::string& text) {
    for (;;) {
        SmtpReplyParse parse = ParseSmtpReply(m_pending);
        if (parse.status == SmtpReplyParse::kComplete) {
            m_pending.erase(0, parse.consumed);
            m_nLastCode = parse.code;
            text = std::move(parse.text);
            return true;
        }
        // A reply that cannot fit the reply buffer fails now; waiting for more would spin.
        if (parse.status == SmtpReplyParse::kTooLong)
            return FailRead(kWsaErrorMessageSize);
        const uint32_t idle = GetTick() - lastDataTick;
        if (idle > m_dwIdleLimit)
            return FailRead(kWsaErrorTimedOut);
        if (m_socket < 0)
            return FailRead(kWsaErrorNotConnected);
        // Wait no longer than the idle limit still allows, so the limit holds to the tick.
        // Waits are cut into short slices so a mail thread told to stop gives up in time
        // instead of waiting out the idle limit of a silent server.
        const uint32_t left = m_dwIdleLimit - idle + 1;
        // Bytes that TLS has already taken off the socket would never wake the poll.
        pollfd p{m_socket, POLLIN, 0};
        const int ready =
            m_tls != nullptr && SSL_pending(m_tls) > 0
                ? 1
                : poll(&p, 1, static_cast<int>(std::min({m_dwWaitMs, left, kStopCheckSliceMs})));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return FailRead(SocketErrorCode(errno));
        }
        if (ready == 0) {
            if (StopEndsWait())
                return FailRead(kWsaErrorInterrupted);
            continue;
        }
        char chunk[4096];
        const size_t room = std::min(sizeof chunk, kMaxReplyBytes - m_pending.size());
        const ssize_t n = ReceiveSome(chunk, room);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return FailRead(SocketErrorCode(errno));
        }
        // The server closed the connection: no reply can come any more.
        if (n == 0)
            return FailRead(kWsaErrorConnReset);
        lastDataTick = GetTick();
        m_pending.append(chunk, static_cast<size_t>(n));
    }
}

bool CSMTPConnection::ReadReply(int expectedCode, std::string* replyText) {
    uint32_t lastData = GetTick();
    std::string text;
    if (!ReceiveReply(lastData, text))
        return false;
    if (replyText != nullptr)
        *replyText = text;
    if (m_nLastCode == expectedCode)
        return true;
    m_sLastReply = text;
    SetLastErrorCode(kWsaErrorProtocol);
    return false;
}

bool CSMTPConnection::ReadReplySkip250(int expectedCode) {
    // Passes over stray 250 replies that a server may still owe from an earlier command
    // before the one awaited; the idle limit runs from the last data across all of them.
    uint32_t lastData = GetTick();
    std::string text;
    for (;;) {
        if (!ReceiveReply(lastData, text))
            return false;
        if (m_nLastCode != 250 || expectedCode == 250)
            break;
    }
    if (m_nLastCode == expectedCode)
        return true;
    m_sLastReply = text;
    SetLastErrorCode(kWsaErrorProtocol);
    return false;
}

std::string CSMTPConnection::LocalHostName() const {
    // A name without a dot is no domain: the greeting then names the local address, as the
    // standard asks and servers that insist on a full name accept.
    const std::string name = PlainHostName();
    if (name.find('.') != std::string::npos)
        return name;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    char text[INET_ADDRSTRLEN];
    if (m_socket >= 0 && getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr)
        return std::string("[") + text + "]";
    return name.empty() ? "localhost" : name;
}

bool CSMTPConnection::Refuse(const std::string& reason, int code) {
    if (m_sFailReason.empty())
        m_sFailReason = reason;
    SetLastErrorCode(code);
    return false;
}

bool CSMTPConnection::NoteFailure() {
    if (m_sFailReason.empty())
        m_sFailReason = !m_sLastReply.empty() ? m_sLastReply : ErrorText(GetLastErrorCode());
    return false;
}

bool CSMTPConnection::Hello(bool heloFallback) {
    m_extensions.clear();
    const std::string name = LocalHostName();
    std::string text;
    if (!SendText("EHLO " + name + "\r\n"))
        return false;
    if (ReadReply(250, &text)) {
        // Each line after the greeting names one extension; keywords are case-insensitive.
        // A last line of the code alone names none.
        for (size_t start = text.find("\r\n"); start != std::string::npos;) {
            start += 2;
            const size_t end = text.find("\r\n", start);
            const size_t stop = end == std::string::npos ? text.size() : end;
            if (stop > start + 4) {
                std::string line = text.substr(start + 4, stop - start - 4);
                std::transform(line.begin(), line.end(), line.begin(),
                               [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
                m_extensions.push_back(std::move(line));
            }
            start = end;
        }
        return true;
    }
    if (!heloFallback || GetLastErrorCode() != kWsaErrorProtocol)
        return false;
    return SendText("HELO " + name + "\r\n") && ExpectReply(250);
}

bool CSMTPConnection::Offers(const char* keyword, const char* parameter) const {
    for (const std::string& line : m_extensions) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word != keyword)
            continue;
        if (parameter == nullptr)
            return true;
        while (words >> word)
            if (word == parameter)
                return true;
    }
    return false;
}

bool CSMTPConnection::StartTls(const char* server) {
    // Bytes that came in plain behind the go-ahead are no words of the server inside TLS.
    m_pending.clear();
    ERR_clear_error();
    m_tlsContext = SSL_CTX_new(TLS_client_method());
    m_tls = m_tlsContext != nullptr ? SSL_new(m_tlsContext) : nullptr;
    BIO* bio =
        m_tls != nullptr && SocketBioMethod() != nullptr ? BIO_new(SocketBioMethod()) : nullptr;
    if (bio == nullptr) {
        m_bConnected = 0;
        return Refuse("TLS is not available: " + TlsErrorText(), kWsaErrorProtocol);
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(m_socket)));
    BIO_set_init(bio, 1);
    SSL_set_bio(m_tls, bio, bio);
    // A server that just closes is a closed connection, not a TLS error.
    SSL_set_options(m_tls, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // The system's trust store (SSL_CERT_FILE and SSL_CERT_DIR count), checked against the
    // server as typed: an address against the certificate's addresses, a name by host name.
    SSL_CTX_set_default_verify_paths(m_tlsContext);
    // Only a name goes by SNI; an IPv4 or IPv6 literal is taken as an address.
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_tls), server) != 1) {
        SSL_set_tlsext_host_name(m_tls, server);
        SSL_set1_host(m_tls, server);
    }
    // Verification never stops the handshake: without a login an unverified connection is
    // still better than plain text, and with one the dialogue ends before AUTH.
    const uint32_t start = GetTick();
    for (;;) {
        const int done = SSL_connect(m_tls);
        if (done == 1)
            break;
        const int error = SSL_get_error(m_tls, done);
        const bool wait = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
        if (!wait ||
            !WaitSocket(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, start, m_dwWaitMs)) {
            // No SMTP can follow a broken handshake: the connection just ends, without QUIT.
            m_bConnected = 0;
            return Refuse(
                "TLS handshake failed: " + (wait ? ErrorText(GetLastErrorCode()) : TlsErrorText()),
                wait ? GetLastErrorCode() : kWsaErrorProtocol);
        }
    }
    const long verified = SSL_get_verify_result(m_tls);
    // A handshake without a certificate leaves the result at "OK" with nothing checked.
    m_bVerified = verified == X509_V_OK && SSL_get0_peer_certificate(m_tls) != nullptr;
    m_sTlsProblem = X509_verify_cert_error_string(verified);
    return true;
}

bool CSMTPConnection::Login(const std::string& user, const std::string& password) {
    // A failed send of the AUTH or login lines shows in the reply read that follows.
    if (Offers("AUTH", "LOGIN"))
        return (SendText("AUTH LOGIN\r\n"), ExpectAuthReply(334)) &&
               (SendLoginLine(user), ExpectReply(334)) &&
               (SendLoginLine(password), ExpectReply(235));
    if (Offers("AUTH", "PLAIN")) {
        CMimeString encoded(CMimeString::kEncode, CMimeString::kBase64Algo,
                            std::string(1, '\0') + user + '\0' + password);
        return (SendText("AUTH PLAIN " + encoded.GetString() + "\r\n"), ExpectAuthReply(235));
    }
    return Refuse("the server offers neither AUTH LOGIN nor AUTH PLAIN; the password was not sent");
}

bool CSMTPConnection::Dialogue(const char* server, uint16_t port, const std::string* user,
                               const std::string* password) {
    const bool login = user != nullptr && password != nullptr;
    m_bConnected = 1;
    if (port == kImplicitTlsPort && !StartTls(server))
        return false;
    if (!ExpectReply(220) || !Hello(!login))
        return false;
    // STARTTLS is taken whenever offered; the greeting inside TLS then says what counts.
    if (m_tls == nullptr && Offers("STARTTLS")) {
        if (!SendText("STARTTLS\r\n"))
            return false;
        if (ExpectReply(220)) {
            if (!StartTls(server) || !Hello(false))
                return false;
        } else if (GetLastErrorCode() != kWsaErrorProtocol) {
            return false;
        }
    }
    if (!login)
        return true;
    // A password only ever crosses the wire inside TLS, to the server it was meant for.
    if (m_tls == nullptr)
        return Refuse("the server offers no encryption; the password was not sent");
    if (!m_bVerified)
        return Refuse("certificate verify failed: " + m_sTlsProblem);
    return Login(*user, *password);
}

bool CSMTPConnection::Open(const char* server, uint16_t port, const std::string* user,
                           const std::string* password) {
    m_sFailReason.clear();
    if (!OpenSocket() || !ConnectSocket(server, port))
        return NoteFailure();
    if (Dialogue(server, port, user, password))
        return true;
    NoteFailure();
    Disconnect();
    return false;
}

bool CSMTPConnection::Connect(const char* server, uint16_t port) {
    return Open(server, port, nullptr, nullptr);
}

bool CSMTPConnection::SendLoginLine(const std::string& value) {
    CMimeString encoded(CMimeString::kEncode, CMimeString::kBase64Algo, value);
    return SendText(encoded.GetString() + "\r\n");
}

bool CSMTPConnection::ConnectWithLogin(const char* server, uint16_t port, const std::string& user,
                                       const std::string& password) {
    return Open(server, port, &user, &password);
}

bool CSMTPConnection::SendMessage(const CSMTPMessage& message, int highPriority) {
    m_sFailReason.clear();
    m_sLastReply.clear();
    // 8-bit text goes only to a server that said it takes it; others get it quoted-printable.
    if (std::strcmp(message.GetTransferEncoding(), "8bit") == 0 && !Offers("8BITMIME")) {
        CSMTPMessage sevenBit = message;
        sevenBit.EncodeBody(false);
        return Transaction(sevenBit, highPriority) || NoteFailure();
    }
    return Transaction(message, highPriority) || NoteFailure();
}

bool CSMTPConnection::Transaction(const CSMTPMessage& message, int highPriority) {
    // Refuse unsafe addresses before anything of the transaction goes out.
    bool safe = AddressIsSafe(message.m_From.m_sEmailAddress);
    for (const CSMTPAddress& r : message.m_Recipients)
        safe = safe && AddressIsSafe(r.m_sEmailAddress);
    if (!safe) {
        SetLastErrorCode(kErrorInvalidParameter);
        return false;
    }

    auto step = [this](const std::string& command, int expected) {
        if (!SendText(command))
            return false;
        if (!ExpectReply(expected)) {
            SetLastErrorCode(kErrorBadCommand);
            return false;
        }
        return true;
    };

    const bool eightBit = std::strcmp(message.GetTransferEncoding(), "8bit") == 0;
    if (!step("MAIL FROM:<" + message.m_From.m_sEmailAddress + ">" +
                  (eightBit ? " BODY=8BITMIME" : "") + "\r\n",
              250))
        return false;
    // One refused recipient must not cost the others their mail: the transaction goes on
    // with those accepted, and the result still says that it failed.
    size_t accepted = 0;
    std::optional<std::string> refusal;
    for (const CSMTPAddress& r : message.m_Recipients) {
        if (!SendText("RCPT TO:<" + r.m_sEmailAddress + ">\r\n"))
            return false;
        if (ExpectReply(250)) {
            ++accepted;
        } else if (GetLastErrorCode() == kWsaErrorProtocol) {
            if (!refusal)
                refusal = m_sLastReply;
        } else {
            SetLastErrorCode(kErrorBadCommand);
            return false;
        }
    }
    if (refusal && accepted == 0) {
        SetLastErrorCode(kErrorBadCommand);
        return false;
    }
    if (!step("DATA\r\n", 354))
        return false;
    // Header, body and end of data in one send: sent apart, each piece after the first
    // would wait for the server's delayed acknowledgement of the one before.
    std::string data = message.BuildHeader(highPriority);
    data += message.GetBody();
    data += "\r\n.\r\n";
    if (!step(data, 250))
        return false;
    if (refusal) {
        m_sLastReply = *refusal;
        SetLastErrorCode(kErrorBadCommand);
        return false;
    }
    return true;
}

bool CSMTPConnection::Disconnect() {
    bool ok = false;
    // A server that let a reply wait run out would most likely keep QUIT waiting as long.
    if (m_bConnected != 0 && !m_bTimedOut) {
        SendText("QUIT\r\n");
        ok = ExpectReply(221);
        if (!ok)
            SetLastErrorCode(kErrorBadCommand);
    }
    m_bConnected = 0;
    CloseSocket();
    return ok;
}
