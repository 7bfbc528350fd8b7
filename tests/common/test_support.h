#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace testsupport {

// Polls `condition` until it holds or `timeout` passes; returns the last result.
// Tests wait for effects with this instead of sleeping a fixed time.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// True when this process may open raw sockets (root or CAP_NET_RAW).
bool CanOpenRawSockets();

// True when the process runs as root (network namespaces need it).
bool IsRoot();

// Runs a shell command; returns its exit status (-1 when it could not run).
int RunShell(const std::string& command);

// A fresh temporary directory, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Fixture that points XDG_CONFIG_HOME and XDG_RUNTIME_DIR into a temporary
// directory for the length of one test and restores them afterwards.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TempDir m_dir;

private:
    std::string m_oldConfig;
    std::string m_oldRuntime;
    bool m_hadConfig = false;
    bool m_hadRuntime = false;
};

}  // namespace testsupport

// Skips the current test, with the reason, unless raw sockets can be opened.
#define VELMORA_REQUIRE_RAW_SOCKETS()                                             \
    do {                                                                          \
        if (!::testsupport::CanOpenRawSockets())                                  \
            GTEST_SKIP() << "needs raw sockets: run as root or with CAP_NET_RAW"; \
    } while (0)

// Skips the current test, with the reason, unless it runs as root.
#define VELMORA_REQUIRE_ROOT()                                        \
    do {                                                              \
        if (!::testsupport::IsRoot())                                 \
            GTEST_SKIP() << "needs root to build network namespaces"; \
    } while (0)
