#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

struct ssl_st;
struct ssl_ctx_st;

// The system's own SMTP client: one TCP connection per mail, TLS whenever the server offers
// it (from the first byte on port 465, else through STARTTLS), an EHLO greeting, AUTH LOGIN
// or PLAIN only inside TLS with a verified certificate, one single-part plain-text message
// (RFC 5322 and MIME, UTF-8) to all recipients, then QUIT.
// Every call blocks the calling thread. A connection and a message are used by one thread
// at a time (the mail queue thread); nothing is shared between connections.
//
// Failures return false and leave a code in the thread's last-error value
// (platform/last_error.h): the codes below, or a socket error code from
// SocketErrorCode().

// Codes left in the thread's last-error value.
constexpr int kErrorBadCommand = 22;             // MAIL FROM / RCPT / DATA / QUIT refused
constexpr int kErrorInvalidParameter = 87;       // address unsafe for an SMTP command line
constexpr int kWsaErrorInterrupted = 10004;      // the calling worker thread is stopping
constexpr int kWsaErrorInvalidArgument = 10022;  // server name does not resolve
constexpr int kWsaErrorMessageSize = 10040;      // reply longer than the reply buffer
constexpr int kWsaErrorProtocol = 10043;         // reply code differs from the expected one
constexpr int kWsaErrorConnReset = 10054;        // the server closed the connection
constexpr int kWsaErrorNotConnected = 10057;     // no socket open
constexpr int kWsaErrorTimedOut = 10060;         // no connect or reply data in the idle limit
constexpr int kWsaErrorConnRefused = 10061;

// The socket error code reported for an errno value (Winsock-style numbers for the usual
// socket errors, 10000 + errno for the rest). Any thread.
int SocketErrorCode(int errnoValue);

// Mail results that the mail queue thread reports for one job.
constexpr int kMailResultSent = 0;
constexpr int kMailResultLoginConnectFailed = 1;
constexpr int kMailResultConnectFailed = 2;
constexpr int kMailResultSendFailed = 3;

// Maps the outcome of one mail job to its result 0 to 3: `logOn` says whether the job
// connected with ConnectWithLogin (else Connect), `connected` what that call returned,
// `sent` what SendMessage returned (ignored when not connected). Any thread.
int MailResultOf(bool logOn, bool connected, bool sent);

// A display name and a mailbox.
class CSMTPAddress {
public:
    CSMTPAddress() = default;
    CSMTPAddress(std::string friendlyName, std::string emailAddress);

    // The bare address when the friendly name is empty, "<address>" when the name is the
    // address, else "name <address>": the name as it is when it is a phrase of atoms,
    // RFC 2047 encoded words when it holds non-ASCII text, a quoted string otherwise.
    std::string FormatAddress() const;

    std::string m_sFriendlyName;
    std::string m_sEmailAddress;
};

// One single-part plain-text message in UTF-8: no Reply-To line and no MIME parts, ever.
class CSMTPMessage {
public:
    CSMTPMessage();
    virtual ~CSMTPMessage() = default;

    // Stores `text` with every line end made CR LF, quoted-printable when a line would pass
    // 998 octets, then dot-stuffed (StuffDots).
    void SetBody(const std::string& text);
    // Stores the body again for a server that did not offer 8BITMIME (`eightBit` false):
    // then text that is not ASCII goes quoted-printable too.
    void EncodeBody(bool eightBit);
    const std::string& GetBody() const { return m_sBody; }
    // "7bit", "8bit" or "quoted-printable": how the body is stored.
    const char* GetTransferEncoding() const { return m_pTransferEncoding; }

    // Appends a copy of `address` and returns its index (the count before the call).
    int AddRecipient(const CSMTPAddress& address);
    // The recipient at `index`; nothing when the index is out of range.
    std::optional<CSMTPAddress> GetRecipient(int index) const;
    int GetNumberOfRecipients() const { return static_cast<int>(m_Recipients.size()); }

    // The header lines (From, To, Subject, Date, for high priority X-Priority and
    // X-MSMail-Priority, X-Mailer, then Message-ID, MIME-Version, Content-Type and
    // Content-Transfer-Encoding) and the empty line that ends the header. CR and LF in any
    // value become blanks, so no value can start a header line of its own; non-ASCII text is
    // in encoded words, and lines over 78 characters are folded where the text allows.
    virtual std::string BuildHeader(int highPriority) const;
    // The same with the Date line for the given time instead of now.
    std::string BuildHeaderAt(int highPriority, time_t when) const;

    // Doubles the "." at the start of every line (the first line, and after every LF).
    static void StuffDots(std::string& text);
    // Makes every line end CR LF: a lone LF or a lone CR becomes CR LF.
    static std::string NormalizeLineEnds(const std::string& text);
    // "%a, %d %b %Y %H:%M:%S %z" for `when` in local time, English names in any locale.
    static std::string FormatDate(time_t when);
    // A Message-ID unique to this call: time, process, a counter, and the host name when
    // it is a full domain name, else the domain of `senderAddress`. Any thread.
    static std::string MakeMessageId(time_t when, const std::string& senderAddress);

    CSMTPAddress m_From;
    std::string m_sSubject;
    std::string m_sXMailer;
    std::vector<CSMTPAddress> m_Recipients;

private:
    std::string m_sText;  // normalised, before any encoding
    std::string m_sBody;  // already normalised, encoded and dot-stuffed
    const char* m_pTransferEncoding = "7bit";
};

// The time a worker thread told to stop still gives its mails: its waits for a server go on
// until `graceMs` have passed since the stop was first seen. One object serves every mail the
// thread sends, so that together they take no longer. Used by that thread only.
class StopGrace {
public:
    explicit StopGrace(uint32_t graceMs) : m_graceMs(graceMs) {}
    // True when `stopping` and the grace has run out; the first call that sees the stop
    // starts the grace.
    bool Over(bool stopping);
    bool started() const { return m_started; }

private:
    uint32_t m_graceMs;
    uint32_t m_startTick = 0;
    bool m_started = false;
};

// One connection to an SMTP server. Made, used and destroyed by one thread; serves one mail.
class CSMTPConnection {
public:
    static constexpr uint32_t kDefaultIdleLimitMs = 18000;
    static constexpr uint32_t kDefaultWaitMs = 8000;

    CSMTPConnection();
    // Sends QUIT when still connected and closes any open socket.
    ~CSMTPConnection();
    CSMTPConnection(const CSMTPConnection&) = delete;
    CSMTPConnection& operator=(const CSMTPConnection&) = delete;

    // Connects, greets with EHLO, takes TLS and logs in with AUTH LOGIN (AUTH PLAIN when the
    // server offers only that); true when ready for a message. The password is sent only
    // inside TLS with a certificate verified for `server`: otherwise nothing of the login is
    // sent and the connect fails.
    bool ConnectWithLogin(const char* server, uint16_t port, const std::string& user,
                          const std::string& password);
    // Connects and greets with EHLO (HELO when the server refuses EHLO), taking TLS when the
    // server offers it, even with a certificate that does not verify; true when ready for a
    // message.
    bool Connect(const char* server, uint16_t port);
    // The whole mail transaction; true when the server accepted the message for every
    // recipient. A refused recipient does not end it: the message still goes to those
    // accepted, and the result is false. The connection stays open either way: ending it
    // is the caller's task.
    bool SendMessage(const CSMTPMessage& message, int highPriority);
    // QUIT when connected, then closes the socket; true only when QUIT was answered 221.
    // After a reply wait timed out the server is taken to be gone: no QUIT is sent.
    bool Disconnect();

    // The reply text kept by the last failed read or failed code check.
    std::string GetLastReply() const { return m_sLastReply; }
    // Why the latest connect or SendMessage failed, in words for a log line or a box: the
    // TLS failure, else the server's last reply, else the socket error. Empty after success.
    const std::string& GetFailureReason() const { return m_sFailReason; }
    // The code of the latest reply read (-1 when none was read or it had no code).
    int GetLastCode() const { return m_nLastCode; }
    bool IsConnected() const { return m_bConnected != 0; }

    // Time limits of reply reads: a read fails when no data came for more than `idleLimitMs`;
    // each wait for data lasts at most `waitMs`. The TCP connect fails, too, when the server
    // has not accepted it within `idleLimitMs`. For tests; the defaults are 18,000 and 8,000.
    void SetReplyTimeLimits(uint32_t idleLimitMs, uint32_t waitMs);
    // The limits that connections made from now on start with (any thread; for tests of
    // code that makes its own connections, such as the mail queue thread).
    static void SetDefaultReplyTimeLimits(uint32_t idleLimitMs, uint32_t waitMs);
    // Without a grace, every wait gives up at once when the calling worker is told to stop;
    // with one, only when the grace has run out. `grace` outlives the connection's use.
    void SetStopGrace(StopGrace* grace) { m_stopGrace = grace; }

private:
    bool StopEndsWait();
    bool OpenSocket();
    bool ConnectSocket(const char* server, uint16_t port);
    bool Open(const char* server, uint16_t port, const std::string* user,
              const std::string* password);
    bool Dialogue(const char* server, uint16_t port, const std::string* user,
                  const std::string* password);
    bool Hello(bool heloFallback);
    bool Offers(const char* keyword, const char* parameter = nullptr) const;
    bool StartTls(const char* server);
    bool Login(const std::string& user, const std::string& password);
    bool Transaction(const CSMTPMessage& message, int highPriority);
    bool Refuse(const std::string& reason, int code = kWsaErrorProtocol);
    bool WaitSocket(short events, uint32_t since, uint32_t waitMs);
    bool NoteFailure();
    ssize_t ReceiveSome(char* buffer, size_t room);
    ssize_t SendSome(const char* data, size_t length);
    std::string LocalHostName() const;
    bool ReceiveReply(uint32_t& lastDataTick, std::string& text);
    bool FailRead(int code);
    bool ReadReply(int expectedCode, std::string* text = nullptr);
    bool ReadReplySkip250(int expectedCode);
    bool ExpectReply(int expectedCode) { return ReadReply(expectedCode); }
    bool ExpectAuthReply(int expectedCode) { return ReadReplySkip250(expectedCode); }
    bool SendRaw(const char* data, size_t length);
    bool SendText(const std::string& text) { return SendRaw(text.data(), text.size()); }
    bool SendLoginLine(const std::string& value);
    void CloseSocket();

    int m_socket = -1;
    int m_bConnected = 0;
    std::string m_sLastReply;
    uint32_t m_dwIdleLimit;
    uint32_t m_dwWaitMs;
    int m_nLastCode = -1;
    bool m_bTimedOut = false;  // a reply wait ran out: QUIT would only wait once more
    std::string m_pending;     // received bytes behind the last reply read
    ssl_ctx_st* m_tlsContext = nullptr;
    ssl_st* m_tls = nullptr;                // set while the dialogue runs inside TLS
    bool m_bVerified = false;               // the TLS certificate is valid for the server as typed
    std::string m_sTlsProblem;              // why the certificate did not verify
    std::vector<std::string> m_extensions;  // lines of the latest EHLO reply after the first
    std::string m_sFailReason;
    StopGrace* m_stopGrace = nullptr;
};
