#include "common/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool CanOpenRawSockets() {
    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool IsRoot() {
    return geteuid() == 0;
}

int RunShell(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

void SandboxTest::SetUp() {
    if (const char* v = std::getenv("XDG_CONFIG_HOME")) {
        m_hadConfig = true;
        m_oldConfig = v;
    }
    if (const char* v = std::getenv("XDG_RUNTIME_DIR")) {
        m_hadRuntime = true;
        m_oldRuntime = v;
    }
    std::filesystem::create_directories(m_dir.File("config"));
    std::filesystem::create_directories(m_dir.File("runtime"));
    setenv("XDG_CONFIG_HOME", m_dir.File("config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", m_dir.File("runtime").c_str(), 1);
}

void SandboxTest::TearDown() {
    if (m_hadConfig)
        setenv("XDG_CONFIG_HOME", m_oldConfig.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    if (m_hadRuntime)
        setenv("XDG_RUNTIME_DIR", m_oldRuntime.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace testsupport
