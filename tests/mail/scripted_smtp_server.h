#pragma once

// A scripted SMTP peer on 127.0.0.1 for the cases a real server cannot produce: replies
// split across reads, several replies in one read, silence, an early close, overlong
// lines. It accepts one connection and plays its script on its own thread, recording every
// line the client sent. Header-only, so any test folder can include "mail/...".

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mail/tls_mail_server.h"

namespace mailtest {

// A listening socket on a free loopback port with the given backlog; -1 when it failed.
inline int ListenOnLoopback(int backlog, uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

class ScriptedSmtpServer {
public:
    ScriptedSmtpServer() = default;
    ~ScriptedSmtpServer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        CloseAll();
    }
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    // Script steps, played in the order added.
    ScriptedSmtpServer& Send(std::string bytes) { return Add({Step::kSend, std::move(bytes), 0}); }
    // Paces the output so that what follows reaches the client in a later segment.
    ScriptedSmtpServer& Pause(int ms) { return Add({Step::kPause, {}, ms}); }
    // Waits for one line from the client (recorded without its CR LF).
    ScriptedSmtpServer& ReadLine() { return Add({Step::kReadLine, {}, 0}); }
    // Reads lines up to and including the "." that ends DATA.
    ScriptedSmtpServer& ReadData() { return Add({Step::kReadData, {}, 0}); }
    // Takes TLS with the certificate of TlsMailServer::Folder(); then the steps go through it.
    ScriptedSmtpServer& StartTls() { return Add({Step::kStartTls, {}, 0}); }
    // Closes the connection at once (what is left of the script is skipped).
    ScriptedSmtpServer& Close() { return Add({Step::kClose, {}, 0}); }
    // After the script the server keeps reading (and recording) until the client closes.

    // Listens on a free loopback port and starts playing; false when it could not listen.
    bool Start() {
        m_listen = ListenOnLoopback(4, m_port);
        if (m_listen < 0)
            return false;
        m_thread = std::thread([this] { Play(); });
        return true;
    }

    uint16_t port() const { return m_port; }

    // Waits for the script to end (the client closed, or the script closed); true if it did.
    bool WaitDone(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_done) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (m_thread.joinable())
            m_thread.join();
        return true;
    }

    // The lines received so far.
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    struct Step {
        enum Kind { kSend, kPause, kReadLine, kReadData, kStartTls, kClose } kind;
        std::string bytes;
        int ms = 0;
    };

    ScriptedSmtpServer& Add(Step step) {
        m_script.push_back(std::move(step));
        return *this;
    }

    void CloseAll() {
        SSL_free(m_tls);
        SSL_CTX_free(m_context);
        m_tls = nullptr;
        m_context = nullptr;
        if (m_conn >= 0)
            close(m_conn);
        if (m_listen >= 0)
            close(m_listen);
        m_conn = m_listen = -1;
    }

    // Waits up to 50 ms for `fd` to be readable; false when stopping.
    bool WaitReadable(int fd) {
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0)
                return true;
        }
        return false;
    }

    // Reads one line into the record; false on end of stream or stop.
    bool ReadOneLine(std::string* line) {
        for (;;) {
            const size_t end = m_in.find("\r\n");
            if (end != std::string::npos) {
                *line = m_in.substr(0, end);
                m_in.erase(0, end + 2);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_lines.push_back(*line);
                return true;
            }
            if ((m_tls == nullptr || SSL_pending(m_tls) == 0) && !WaitReadable(m_conn))
                return false;
            char chunk[65536];
            const ssize_t n = m_tls != nullptr ? SSL_read(m_tls, chunk, sizeof chunk)
                                               : recv(m_conn, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            m_in.append(chunk, static_cast<size_t>(n));
        }
    }

    void Play() {
        if (WaitReadable(m_listen))
            m_conn = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        bool open = m_conn >= 0;
        std::string line;
        for (const Step& step : m_script) {
            if (!open)
                break;
            switch (step.kind) {
                case Step::kSend:
                    open = (m_tls != nullptr
                                ? SSL_write(m_tls, step.bytes.data(),
                                            static_cast<int>(step.bytes.size()))
                                : send(m_conn, step.bytes.data(), step.bytes.size(),
                                       MSG_NOSIGNAL)) == static_cast<ssize_t>(step.bytes.size());
                    break;
                case Step::kStartTls:
                    m_context = SSL_CTX_new(TLS_server_method());
                    SSL_CTX_use_certificate_chain_file(
                        m_context, (TlsMailServer::Folder() + "/server.pem").c_str());
                    SSL_CTX_use_PrivateKey_file(m_context,
                                                (TlsMailServer::Folder() + "/server.key").c_str(),
                                                SSL_FILETYPE_PEM);
                    m_tls = SSL_new(m_context);
                    SSL_set_fd(m_tls, m_conn);
                    open = SSL_accept(m_tls) == 1;
                    break;
                case Step::kPause:
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                    break;
                case Step::kReadLine:
                    open = ReadOneLine(&line);
                    break;
                case Step::kReadData:
                    do {
                        open = ReadOneLine(&line);
                    } while (open && line != ".");
                    break;
                case Step::kClose:
                    close(m_conn);
                    m_conn = -1;
                    open = false;
                    break;
            }
        }
        while (open)
            open = ReadOneLine(&line);
        CloseAll();
        m_done = true;
    }

    std::vector<Step> m_script;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::string m_in;
    int m_listen = -1;
    int m_conn = -1;
    SSL_CTX* m_context = nullptr;
    SSL* m_tls = nullptr;
    uint16_t m_port = 0;
};

}  // namespace mailtest
