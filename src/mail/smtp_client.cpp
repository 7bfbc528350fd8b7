#include "mail/smtp_client.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Header values go in unencoded; a CR or LF in one would start a header line of its own.
std::string HeaderSafe(std::string text) {
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
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

// ---------------------------------------------------------------------------------------
// CSMTPAddress

CSMTPAddress::CSMTPAddress(std::string friendlyName, std::string emailAddress)
    : m_sFriendlyName(std::move(friendlyName)), m_sEmailAddress(std::move(emailAddress)) {}

std::string CSMTPAddress::FormatAddress() const {
    if (m_sFriendlyName.empty())
        return m_sEmailAddress;
    return m_sFriendlyName + " <" + m_sEmailAddress + ">";
}

// ---------------------------------------------------------------------------------------
// CSMTPMessage

CSMTPMessage::CSMTPMessage() : m_sXMailer(kXMailer) {}

void CSMTPMessage::SetBody(const std::string& text) {
    // Line ends are made CR LF first: a lone LF or CR left in the body could otherwise pair
    // up with a following "." into an end-of-data line on some servers.
    m_sBody = NormalizeLineEnds(text);
    StuffDots(m_sBody);
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
    char text[128];
    const int n =
        std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d %s", kDays[local.tm_wday],
                      local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour,
                      local.tm_min, local.tm_sec, local.tm_zone != nullptr ? local.tm_zone : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof text)
        return std::string();
    return std::string(text, static_cast<size_t>(n));
}

std::string CSMTPMessage::BuildHeader(int highPriority) const {
    return BuildHeaderAt(highPriority, time(nullptr));
}

std::string CSMTPMessage::BuildHeaderAt(int highPriority, time_t when) const {
    // A header line may not pass 998 bytes, and servers refuse longer ones, so a long
    // recipient list is folded between addresses (a line break followed by a blank).
    constexpr size_t kMaxHeaderLine = 998;
    std::string to = "To: ";
    size_t lineStart = 0;
    for (size_t i = 0; i < m_Recipients.size(); ++i) {
        const std::string address = HeaderSafe(m_Recipients[i].FormatAddress());
        if (i > 0) {
            to += ',';
            if (to.size() - lineStart + address.size() > kMaxHeaderLine) {
                to += "\r\n";
                lineStart = to.size();
                to += ' ';
            }
        }
        to += address;
    }
    std::string header;
    header += "From: " + HeaderSafe(m_From.FormatAddress()) + "\r\n";
    header += to + "\r\n";
    header += "Subject: " + HeaderSafe(m_sSubject) + "\r\n";
    header += "Date: " + HeaderSafe(FormatDate(when)) + "\r\n";
    if (highPriority != 0)
        header += "X-Priority: 1\r\nX-MSMail-Priority: High\r\n";
    header += "X-Mailer: " + HeaderSafe(m_sXMailer) + "\r\n";
    header += "\r\n";
    return header;
}

// ---------------------------------------------------------------------------------------
// CSMTPConnection

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

void CSMTPConnection::CloseSocket() {
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
    pollfd p{m_socket, POLLOUT, 0};
    int ready;
    for (;;) {
        const uint32_t elapsed = GetTick() - start;
        if (elapsed > m_dwIdleLimit) {
            SetLastErrorCode(kWsaErrorTimedOut);
            return false;
        }
        const uint32_t left = m_dwIdleLimit - elapsed + 1;
        ready = poll(&p, 1, static_cast<int>(std::min(left, kStopCheckSliceMs)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready != 0)
            break;
        if (CurrentThreadStopping()) {
            SetLastErrorCode(kWsaErrorInterrupted);
            return false;
        }
    }
    fcntl(m_socket, F_SETFL, flags);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0) {
        SetSocketError(errno);
        return false;
    }
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

bool CSMTPConnection::SendRaw(const char* data, size_t length) {
    if (m_socket < 0) {
        SetLastErrorCode(kWsaErrorNotConnected);
        return false;
    }
    // Everything must go out; a partial send is a failure, never a success. MSG_NOSIGNAL:
    // a server that went away must not end the whole program with SIGPIPE.
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = send(m_socket, data + sent, length - sent, MSG_NOSIGNAL);
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
    m_sLastReply = m_pending;
    m_pending.clear();
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
        // Waits are cut into short slices so a mail thread told to stop gives up at once
        // instead of waiting out the idle limit of a silent server.
        const uint32_t left = m_dwIdleLimit - idle + 1;
        pollfd p{m_socket, POLLIN, 0};
        const int ready =
            poll(&p, 1, static_cast<int>(std::min({m_dwWaitMs, left, kStopCheckSliceMs})));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return FailRead(SocketErrorCode(errno));
        }
        if (ready == 0) {
            if (CurrentThreadStopping())
                return FailRead(kWsaErrorInterrupted);
            continue;
        }
        char chunk[4096];
        const size_t room = std::min(sizeof chunk, kMaxReplyBytes - m_pending.size());
        const ssize_t n = recv(m_socket, chunk, room, 0);
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

bool CSMTPConnection::ReadReply(int expectedCode) {
    uint32_t lastData = GetTick();
    std::string text;
    if (!ReceiveReply(lastData, text))
        return false;
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
    char name[100];
    if (gethostname(name, sizeof name) == 0 && std::memchr(name, '\0', sizeof name) != nullptr &&
        name[0] != '\0') {
        std::string text(name);
        // Only a plain domain name may follow EHLO/HELO.
        const bool plain = text.find_first_not_of(
                               "abcdefghijklmnopqrstuvwxyz"
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789-.") == std::string::npos;
        if (plain)
            return text;
    }
    // Without a usable host name the greeting names the local address, as the standard asks.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    char text[INET_ADDRSTRLEN];
    if (m_socket >= 0 && getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr)
        return std::string("[") + text + "]";
    return "localhost";
}

bool CSMTPConnection::Greet(const char* command) {
    m_bConnected = 1;
    if (!ExpectReply(220))
        return false;
    return SendText(std::string(command) + " " + LocalHostName() + "\r\n") && ExpectReply(250);
}

bool CSMTPConnection::Connect(const char* server, uint16_t port) {
    if (!OpenSocket())
        return false;
    if (!ConnectSocket(server, port))
        return false;
    if (!Greet("HELO")) {
        Disconnect();
        return false;
    }
    return true;
}

bool CSMTPConnection::SendLoginLine(const std::string& value) {
    CMimeString encoded(CMimeString::kEncode, CMimeString::kBase64Algo, value);
    return SendText(encoded.GetString() + "\r\n");
}

bool CSMTPConnection::ConnectWithLogin(const char* server, uint16_t port, const std::string& user,
                                       const std::string& password) {
    if (!OpenSocket())
        return false;
    if (!ConnectSocket(server, port))
        return false;
    // A failed send of the AUTH or login lines shows in the reply read that follows.
    const bool ok = Greet("EHLO") && (SendText("AUTH LOGIN\r\n"), ExpectAuthReply(334)) &&
                    (SendLoginLine(user), ExpectReply(334)) &&
                    (SendLoginLine(password), ExpectReply(235));
    if (!ok) {
        Disconnect();
        return false;
    }
    return true;
}

bool CSMTPConnection::SendMessage(const CSMTPMessage& message, int highPriority) {
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

    if (!step("MAIL FROM:<" + message.m_From.m_sEmailAddress + ">\r\n", 250))
        return false;
    for (const CSMTPAddress& r : message.m_Recipients)
        if (!step("RCPT TO:<" + r.m_sEmailAddress + ">\r\n", 250))
            return false;
    if (!step("DATA\r\n", 354))
        return false;
    if (!SendText(message.BuildHeader(highPriority)))
        return false;
    if (!SendText(message.GetBody()))
        return false;
    return step("\r\n.\r\n", 250);
}

bool CSMTPConnection::Disconnect() {
    bool ok = false;
    if (m_bConnected != 0) {
        SendText("QUIT\r\n");
        ok = ExpectReply(221);
        if (!ok)
            SetLastErrorCode(kErrorBadCommand);
        m_bConnected = 0;
    }
    CloseSocket();
    return ok;
}
