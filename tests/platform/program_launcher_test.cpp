#include "platform/program_launcher.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/test_support.h"

namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheWindowsRules) {
    const std::vector<std::pair<std::string, Args>> cases = {
        {"", {}},
        {"   \t ", {}},
        {"a", {"a"}},
        {"  a  b\tc ", {"a", "b", "c"}},
        {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        {"\"a b\" c", {"a b", "c"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"x \"\" y", {"x", "", "y"}},
        {"\"a b", {"a b"}},
        {"\"a\"\"b\"", {"a\"b"}},
        {"a\\b\\\\c", {"a\\b\\\\c"}},
        {"a\\\"b", {"a\"b"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\\\\\\"b c", {"a\\\"b", "c"}},
        {"trail\\", {"trail\\"}},
        {"\"tab\tinside\"", {"tab\tinside"}},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(SplitCommandLine(line), expected) << "line: [" << line << "]";
}

TEST(SplitCommandLine, TheDefaultParameterLineGivesFourArguments) {
    const std::string line =
        "HOST=10.0.0.7 \"DATATIME=Tuesday, December 08, 2026  01:05:09\" \"EVENT=peer is down\" "
        "LOSTRATE=12.50%";
    EXPECT_EQ(SplitCommandLine(line),
              (Args{"HOST=10.0.0.7", "DATATIME=Tuesday, December 08, 2026  01:05:09",
                    "EVENT=peer is down", "LOSTRATE=12.50%"}));
}

// What the record child wrote about itself.
struct ChildRecord {
    pid_t pid = -1;
    Args args;
    std::vector<int> fds;
    std::map<std::string, std::string> status;  // SigBlk, SigIgn
};

std::optional<ChildRecord> ReadRecord(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    ChildRecord record;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("pid ", 0) == 0) {
            record.pid = std::atoi(line.c_str() + 4);
        } else if (line.rfind("arg ", 0) == 0) {
            const size_t space = line.find(' ', 4);
            const size_t length = std::stoul(line.substr(4, space - 4));
            record.args.push_back(line.substr(space + 1, length));
        } else if (line.rfind("fd ", 0) == 0) {
            record.fds.push_back(std::atoi(line.c_str() + 3));
        } else if (line.rfind("Sig", 0) == 0) {
            const size_t colon = line.find(':');
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            record.status[line.substr(0, colon)] = value;
        }
    }
    return record;
}

bool Gone(pid_t pid) {
    return kill(pid, 0) == -1 && errno == ESRCH;
}

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELMORA_RECORD_DIR", m_dir.path().c_str(), 1);
        unsetenv("VELMORA_RECORD_FILE");
        unsetenv("VELMORA_RECORD_HOLD_MS");
    }
    void TearDown() override {
        unsetenv("VELMORA_RECORD_DIR");
        unsetenv("VELMORA_RECORD_HOLD_MS");
    }

    std::optional<ChildRecord> WaitForRecord(pid_t pid) {
        const std::string path = m_dir.File(std::to_string(pid) + ".rec");
        std::optional<ChildRecord> record;
        testsupport::WaitUntil([&] { return (record = ReadRecord(path)).has_value(); });
        return record;
    }

    testsupport::TempDir m_dir;
    SpawnLauncher m_launcher;
};

TEST_F(LauncherTest, ArgumentsArriveIntactAndOnlyStandardDescriptorsAreInherited) {
    // A descriptor of ours without close-on-exec, a blocked signal and an ignored SIGPIPE
    // must all stay behind.
    int leaky = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    sigset_t block;
    sigset_t old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);

    LaunchResult result = m_launcher.Launch(
        VELMORA_RECORD_CHILD, "plain \"two words\" \"\" quote\\\"d tab\tsep \"DATE=a,  b\"");
    pid_t opener = -1;  // detached, as the desktop's opener is
    ASSERT_EQ(SpawnWithDefaultSignals({VELMORA_RECORD_CHILD}, opener, kSpawnDetached), 0);
    std::optional<ChildRecord> openerRecord = WaitForRecord(opener);
    waitpid(opener, nullptr, 0);
    ASSERT_TRUE(openerRecord.has_value());
    for (int fd : openerRecord->fds)
        EXPECT_LE(fd, 2) << "the opener inherited descriptor " << fd;

    sigaction(SIGPIPE, &previous, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(leaky);

    ASSERT_TRUE(result.started) << "errno " << result.error;
    std::optional<ChildRecord> record = WaitForRecord(result.pid);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->pid, result.pid);
    EXPECT_EQ(record->args,
              (Args{"plain", "two words", "", "quote\"d", "tab", "sep", "DATE=a,  b"}));
    for (int fd : record->fds)
        EXPECT_LE(fd, 2) << "inherited descriptor " << fd;
    EXPECT_EQ(record->status["SigBlk"], "0000000000000000");
    // The C library keeps its two internal signals (32 and 33) ignored across a spawn;
    // every standard signal must be back at its default.
    EXPECT_EQ(std::stoull(record->status["SigIgn"], nullptr, 16) & 0x7FFFFFFFull, 0u)
        << record->status["SigIgn"];
}

TEST_F(LauncherTest, ChildrenAreReapedAndNoZombieIsLeft) {
    LaunchResult result = m_launcher.Launch(VELMORA_RECORD_CHILD, "x");
    ASSERT_TRUE(result.started);
    ASSERT_TRUE(WaitForRecord(result.pid).has_value());
    // A zombie still answers kill(pid, 0); only a reaped child is gone.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return Gone(result.pid); }));
}

TEST_F(LauncherTest, DoesNotWaitForTheProgramToEnd) {
    setenv("VELMORA_RECORD_HOLD_MS", "2500", 1);
    const auto start = std::chrono::steady_clock::now();
    LaunchResult result = m_launcher.Launch(VELMORA_RECORD_CHILD, "");
    const auto took = std::chrono::steady_clock::now() - start;
    unsetenv("VELMORA_RECORD_HOLD_MS");
    ASSERT_TRUE(result.started);
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    ASSERT_TRUE(WaitForRecord(result.pid).has_value());
    EXPECT_FALSE(Gone(result.pid));  // still lingering
    EXPECT_TRUE(testsupport::WaitUntil([&] { return Gone(result.pid); }));
}

TEST_F(LauncherTest, LeavesOtherChildrenOfTheProcessAlone) {
    // A child that is not the launcher's keeps its exit status for its own parent code.
    pid_t own = -1;
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                    const_cast<char*>("exit 7"), nullptr};
    ASSERT_EQ(posix_spawn(&own, "/bin/sh", nullptr, nullptr, argv, environ), 0);

    LaunchResult result = m_launcher.Launch(VELMORA_RECORD_CHILD, "");
    ASSERT_TRUE(result.started);
    ASSERT_TRUE(WaitForRecord(result.pid).has_value());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Gone(result.pid); }));

    int status = 0;
    ASSERT_EQ(waitpid(own, &status, 0), own);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST_F(LauncherTest, ProgramsThatCannotStartReportWhy) {
    LaunchResult missing = m_launcher.Launch(m_dir.File("no-such-program"), "a b");
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.error, ENOENT);

    LaunchResult directory = m_launcher.Launch(m_dir.path(), "");
    EXPECT_FALSE(directory.started);
    EXPECT_NE(directory.error, 0);

    EXPECT_FALSE(m_launcher.Launch("", "").started);
    EXPECT_FALSE(m_launcher.Launch("velmora-no-such-program-on-path", "").started);
}

TEST_F(LauncherTest, NamesWithoutASlashAreSearchedOnPath) {
    LaunchResult result = m_launcher.Launch("true", "ignored arguments");
    ASSERT_TRUE(result.started) << "errno " << result.error;
    EXPECT_TRUE(testsupport::WaitUntil([&] { return Gone(result.pid); }));
}

}  // namespace
