#pragma once

// Starts the real loopback SMTP server of the tests (tests/mail/smtp_server.py, run with
// /usr/bin/python3 and aiosmtpd, or Debian's stock exim4 behind tests/mail/exim_bh_server.py)
// and reads back what it received. Header-only, so a test
// of any folder can use it with #include "mail/smtp_test_server.h" and no build change.
// One object per server; use it from one test thread.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/test_support.h"
#include "mail/tls_mail_server.h"

extern char** environ;

namespace mailtest {

// One message as the server accepted it.
struct ReceivedMail {
    std::string helo;                     // the name the client greeted with
    std::optional<std::string> authUser;  // the AUTH LOGIN user, when the client logged in
    std::string mailFrom;
    std::vector<std::string> rcptTos;  // in the order the server accepted them
    std::string data;                  // the raw message after dot-unstuffing
    // The stock server only: its reply to the data, and what Python's mail parser read
    // (from, to, subject, message_id, body, date_zone, from_count, defects) in UTF-8.
    std::string reply;
    std::map<std::string, std::string> parsed;

    // The header lines, without their CR LF, up to the empty line.
    std::vector<std::string> HeaderLines() const {
        std::vector<std::string> lines;
        size_t start = 0;
        for (;;) {
            const size_t end = data.find("\r\n", start);
            if (end == std::string::npos || end == start)
                return lines;
            lines.push_back(data.substr(start, end - start));
            start = end + 2;
        }
    }
    // Everything after the empty line that ends the header.
    std::string Body() const {
        const size_t end = data.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : data.substr(end + 4);
    }
};

struct SmtpServerOptions {
    // When set, the server offers STARTTLS with the certificate of TlsMailServer::Folder(),
    // and inside TLS offers and requires AUTH LOGIN with these credentials; a wrong
    // password is answered 535 at once.
    std::optional<std::string> authUser;
    std::string authPassword;
    // Recipients that RCPT TO refuses with 550.
    std::vector<std::string> refuseRcpt;
    // Debian's stock exim4 (`exim4 -bh`) instead; it takes none of the options above.
    bool stockServer = false;
};

namespace detail {

// Just enough JSON for the server's records: objects, arrays, strings, null, booleans
// and numbers. Strings hold one byte per character (the server writes Latin-1).
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : m_text(text) {}

    bool ParseRecord(ReceivedMail& mail) {
        if (!Take('{'))
            return false;
        if (Take('}'))
            return true;
        do {
            std::string key;
            if (!String(key) || !Take(':'))
                return false;
            if (key == "helo") {
                if (!StringOrNull(mail.helo))
                    return false;
            } else if (key == "auth_user") {
                std::string user;
                Space();
                if (Peek() == 'n') {
                    if (!Literal("null"))
                        return false;
                } else if (!String(user)) {
                    return false;
                } else {
                    mail.authUser = user;
                }
            } else if (key == "mail_from") {
                if (!StringOrNull(mail.mailFrom))
                    return false;
            } else if (key == "rcpt_tos") {
                if (!StringArray(mail.rcptTos))
                    return false;
            } else if (key == "data" || key == "reply") {
                if (!String(key == "data" ? mail.data : mail.reply))
                    return false;
            } else if (key == "parsed") {
                if (!Take('{'))
                    return false;
                do {
                    std::string name;
                    if (!String(name) || !Take(':') || !String(mail.parsed[name]))
                        return false;
                } while (Take(','));
                if (!Take('}'))
                    return false;
            } else if (!SkipValue()) {
                return false;
            }
        } while (Take(','));
        return Take('}');
    }

private:
    void Space() {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' ||
                                         m_text[m_pos] == '\r' || m_text[m_pos] == '\n'))
            ++m_pos;
    }
    char Peek() { return m_pos < m_text.size() ? m_text[m_pos] : '\0'; }
    bool Take(char c) {
        Space();
        if (Peek() != c)
            return false;
        ++m_pos;
        return true;
    }
    bool Literal(std::string_view word) {
        Space();
        if (m_text.substr(m_pos, word.size()) != word)
            return false;
        m_pos += word.size();
        return true;
    }
    static int Hex(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }
    bool String(std::string& out) {
        out.clear();
        if (!Take('"'))
            return false;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size())
                return false;
            const char e = m_text[m_pos++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (m_pos + 4 > m_text.size())
                        return false;
                    int value = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int h = Hex(m_text[m_pos++]);
                        if (h < 0)
                            return false;
                        value = value * 16 + h;
                    }
                    if (value > 0xFF)  // the server writes bytes only
                        return false;
                    out += static_cast<char>(value);
                    break;
                }
                default:
                    out += e;  // '"', '\\', '/'
                    break;
            }
        }
        return false;
    }
    bool StringOrNull(std::string& out) {
        Space();
        if (Peek() == 'n') {
            out.clear();
            return Literal("null");
        }
        return String(out);
    }
    bool StringArray(std::vector<std::string>& out) {
        out.clear();
        if (!Take('['))
            return false;
        if (Take(']'))
            return true;
        do {
            std::string item;
            if (!String(item))
                return false;
            out.push_back(item);
        } while (Take(','));
        return Take(']');
    }
    bool SkipValue() {
        Space();
        const char c = Peek();
        if (c == '"') {
            std::string ignored;
            return String(ignored);
        }
        if (c == '[' || c == '{') {
            const char close = c == '[' ? ']' : '}';
            ++m_pos;
            if (Take(close))
                return true;
            do {
                if (c == '{') {
                    std::string key;
                    if (!String(key) || !Take(':'))
                        return false;
                }
                if (!SkipValue())
                    return false;
            } while (Take(','));
            return Take(close);
        }
        const size_t start = m_pos;
        while (m_pos < m_text.size() && m_text[m_pos] != ',' && m_text[m_pos] != '}' &&
               m_text[m_pos] != ']')
            ++m_pos;
        return m_pos > start;
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

}  // namespace detail

class SmtpTestServer {
public:
    explicit SmtpTestServer(SmtpServerOptions options = {}) : m_options(std::move(options)) {}
    ~SmtpTestServer() { Stop(); }
    SmtpTestServer(const SmtpTestServer&) = delete;
    SmtpTestServer& operator=(const SmtpTestServer&) = delete;

    // The script that the server runs: under VELMORA_SOURCE_DIR when set (ctest sets it),
    // else beside this header.
    std::string ScriptPath() const {
        const char* script = m_options.stockServer ? "exim_bh_server.py" : "smtp_server.py";
        if (const char* top = std::getenv("VELMORA_SOURCE_DIR"))
            return std::string(top) + "/tests/mail/" + script;
        std::string here = __FILE__;
        return here.substr(0, here.find_last_of('/') + 1) + script;
    }

    // Starts the server on 127.0.0.1 at a free port and waits until it listens. False with
    // the reason in error() when it could not start.
    bool Start() {
        Stop();
        m_outputPath = m_dir.File("received.jsonl");
        std::vector<std::string> args = {"/usr/bin/python3", ScriptPath(), "--host",
                                         "127.0.0.1",        "--port",     "0",
                                         "--output",         m_outputPath, "--exit-on-eof"};
        if (m_options.authUser) {
            const std::string& tls = TlsMailServer::Folder();
            args.insert(args.end(), {"--auth-user", *m_options.authUser, "--auth-password",
                                     m_options.authPassword, "--tls-cert", tls + "/server.pem",
                                     "--tls-key", tls + "/server.key"});
        }
        for (const std::string& r : m_options.refuseRcpt)
            args.insert(args.end(), {"--refuse-rcpt", r});

        int input[2];
        int output[2];
        if (pipe2(input, O_CLOEXEC) != 0)
            return Fail("pipe failed");
        if (pipe2(output, O_CLOEXEC) != 0) {
            close(input[0]);
            close(input[1]);
            return Fail("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        if (spawned != 0) {
            close(input[1]);
            close(output[0]);
            return Fail("cannot start /usr/bin/python3");
        }
        m_pid = pid;
        m_stdin = input[1];  // the server ends when this closes, even if we die
        m_stdout = output[0];

        // The first line of the server's output is its port.
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return Fail("the server did not report its port in time");
            pollfd p{m_stdout, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char chunk[64];
            const ssize_t n = read(m_stdout, chunk, sizeof chunk);
            if (n <= 0)
                return Fail(
                    "the server ended before it listened (is python3-aiosmtpd "
                    "installed?)");
            line.append(chunk, static_cast<size_t>(n));
        }
        const long port = std::strtol(line.c_str(), nullptr, 10);
        if (port <= 0 || port > 65535)
            return Fail("the server reported no port: " + line);
        m_port = static_cast<uint16_t>(port);
        return true;
    }

    // Stops the server and waits for it to end. Safe to call more than once.
    void Stop() {
        if (m_stdin >= 0) {
            close(m_stdin);
            m_stdin = -1;
        }
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            const pid_t pid = m_pid;
            const bool ended = testsupport::WaitUntil(
                [pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, std::chrono::seconds(10));
            if (!ended) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            m_pid = -1;
        }
        if (m_stdout >= 0) {
            close(m_stdout);
            m_stdout = -1;
        }
        m_port = 0;
    }

    uint16_t port() const { return m_port; }
    const std::string& error() const { return m_error; }

    // Every message the server accepted so far, in order.
    std::vector<ReceivedMail> Received() const {
        std::vector<ReceivedMail> mails;
        std::ifstream in(m_outputPath, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            ReceivedMail mail;
            if (detail::JsonReader(line).ParseRecord(mail))
                mails.push_back(std::move(mail));
        }
        return mails;
    }

    // Waits until the server has accepted at least `count` messages.
    bool WaitForMessages(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return testsupport::WaitUntil([&] { return Received().size() >= count; }, timeout);
    }

private:
    bool Fail(const std::string& reason) {
        m_error = reason;
        Stop();
        return false;
    }

    SmtpServerOptions m_options;
    testsupport::TempDir m_dir;
    std::string m_outputPath;
    std::string m_error;
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    uint16_t m_port = 0;
};

}  // namespace mailtest
