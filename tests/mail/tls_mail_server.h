#pragma once

// Debian's exim4 and Dovecot's submission server with TLS and a login on loopback, started
// by tests/mail/tls_mail_server.sh. All of a test program's servers share one folder: its
// throwaway CA is the only one the client trusts (SSL_CERT_FILE). Header-only; one thread.

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/test_support.h"

namespace mailtest {

class TlsMailServer {
public:
    // Why these servers cannot run here; empty when they can.
    static std::string Missing() {
        for (const char* tool : {"/usr/sbin/exim4", "/usr/sbin/update-exim4.conf",
                                 "/usr/sbin/dovecot", "/usr/bin/openssl"})
            if (access(tool, X_OK) != 0)
                return std::string(tool) + " is not installed";
        return testsupport::IsRoot() ? "" : "the mail servers run as root";
    }

    ~TlsMailServer() { Stop(); }

    // Starts `kind` ("exim" or "dovecot") on `address` at `port` (0: a free one); `mode` as
    // the script takes it. True once it accepts connections.
    bool Start(const std::string& kind, const std::string& address, const std::string& mode,
               uint16_t port = 0) {
        m_address = address;
        m_port = port != 0 ? port : FreePort();
        const std::string name = Folder() + "/" + kind + "-" + mode;
        if (testsupport::RunShell(Script() + " " + Folder() + " " + kind + " " + address + " " +
                                  std::to_string(m_port) + " " + mode + " >" + name +
                                  ".out 2>&1 & echo $! >" + name + ".spid") != 0)
            return false;
        std::ifstream(name + ".spid") >> m_pid;
        m_log = kind == "exim" ? Folder() + "/" + mode + "-mainlog" : Folder() + "/dovecotlog";
        return testsupport::WaitUntil([this] { return Accepts() || kill(m_pid, 0) != 0; },
                                      std::chrono::seconds(90)) &&
               Accepts();
    }

    void Stop() {
        if (m_pid > 0)
            kill(m_pid, SIGTERM);
        m_pid = 0;
    }

    uint16_t port() const { return m_port; }
    // Everything the server logged so far.
    std::string Log() const {
        std::ostringstream text;
        text << std::ifstream(m_log).rdbuf();
        return text.str();
    }

    // A loopback address of this process's own, for port 465 (TLS from the first byte).
    static std::string ImplicitTlsAddress() {
        return "127.46." + std::to_string(getpid() / 250 % 250) + "." +
               std::to_string(getpid() % 250 + 1);
    }

    // The folder, made on first use; its CA is trusted from then on.
    static const std::string& Folder() {
        static const std::unique_ptr<testsupport::TempDir> dir = [] {
            auto made = std::make_unique<testsupport::TempDir>();
            setenv("SSL_CERT_FILE", made->File("ca.pem").c_str(), 1);
            testsupport::RunShell(Script() + " " + made->path() + " certs " + ImplicitTlsAddress() +
                                  " 0 -");
            return made;
        }();
        return dir->path();
    }

private:
    static std::string Script() {
        const char* top = std::getenv("VELMORA_SOURCE_DIR");
        std::string here = top != nullptr ? std::string(top) + "/tests/mail/" : __FILE__;
        return here.substr(0, here.find_last_of('/') + 1) + "tls_mail_server.sh";
    }

    // Connects to the server's address and port; true when something listens.
    bool Connect(sockaddr_in& address, bool bindOnly) const {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address.sin_family = AF_INET;
        inet_pton(AF_INET, m_address.c_str(), &address.sin_addr);
        socklen_t length = sizeof address;
        const bool ok =
            bindOnly ? bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                           getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0
                     : connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
        close(fd);
        return ok;
    }
    uint16_t FreePort() const {
        sockaddr_in address{};
        return Connect(address, true) ? ntohs(address.sin_port) : 0;
    }
    bool Accepts() const {
        sockaddr_in address{};
        address.sin_port = htons(m_port);
        return Connect(address, false);
    }

    std::string m_address;
    std::string m_log;
    uint16_t m_port = 0;
    pid_t m_pid = 0;
};

}  // namespace mailtest
