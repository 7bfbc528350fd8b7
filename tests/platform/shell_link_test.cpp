#include "platform/shell_link.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/test_support.h"
#include "platform/shell.h"

namespace {

void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Puts a directory of fake programs first on PATH for one test.
class ShellLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        m_oldPath = path != nullptr ? path : "";
        setenv("PATH", (m_dir.path() + ":" + m_oldPath).c_str(), 1);
    }
    void TearDown() override { setenv("PATH", m_oldPath.c_str(), 1); }

    // A fake xdg-open that records its arguments, one per line, then runs `tail`.
    void FakeOpener(const std::string& tail) {
        WriteFile(m_dir.File("xdg-open"),
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                      m_dir.File("args") + "'\n" + tail + "\n",
                  0755);
    }

    testsupport::TempDir m_dir;
    std::string m_oldPath;
};

TEST_F(ShellLinkTest, TheOpenersVerdictBecomesTheClassicCode) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"exit 0", kShellOpenedResult},
        {"exit 1", 1},
        {"exit 2", 2},
        {"exit 3", 31},
        {"exit 4", 27},
        {"exit 9", -9},
        {"kill -KILL $$", -1},
    };
    for (const auto& [tail, code] : cases) {
        FakeOpener(tail);
        EXPECT_EQ(ShellOpenLink("mailto:root@localhost"), code) << tail;
    }
    EXPECT_EQ(ReadFile(m_dir.File("args")), "mailto:root@localhost\n");
    EXPECT_GT(kShellOpenedResult, 32);
}

TEST_F(ShellLinkTest, AnOpenerStillRunningAfterTheVerdictTimeHasTakenTheLink) {
    // It stays until the test releases it, so the verdict time certainly passes first.
    const std::string hold = m_dir.File("hold");
    const std::string gone = m_dir.File("gone");
    WriteFile(hold, "", 0644);
    FakeOpener("while [ -e '" + hold + "' ]; do sleep 0.05; done; : > '" + gone + "'");
    EXPECT_EQ(ShellOpenLink("file:///tmp/x y.html"), kShellOpenedResult);
    EXPECT_EQ(ReadFile(m_dir.File("args")), "file:///tmp/x y.html\n");
    unlink(hold.c_str());
    EXPECT_TRUE(testsupport::WaitUntil([&] { return access(gone.c_str(), F_OK) == 0; }));
}

TEST_F(ShellLinkTest, NoOpenerOnTheDesktopIsNoAssociatedApplication) {
    setenv("PATH", m_dir.path().c_str(), 1);  // an empty directory only
    EXPECT_EQ(ShellOpenLink("mailto:root@localhost"), 31);
    EXPECT_EQ(ShellOpenLink(""), 2);
}

TEST_F(ShellLinkTest, RunningACommandKeepsTheTargetOneArgumentAndReportsWhyItCouldNotStart) {
    const std::string recorder = m_dir.File("my browser");
    WriteFile(recorder,
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                  m_dir.File("args") + ".tmp'\nmv '" + m_dir.File("args") + ".tmp' '" +
                  m_dir.File("args") + "'\n",
              0755);
    const std::string target = "file:///tmp/a b\" --new x.html";
    EXPECT_GT(ShellRunWithTarget("\"" + recorder + "\" --private", target), 31);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !ReadFile(m_dir.File("args")).empty(); }));
    EXPECT_EQ(ReadFile(m_dir.File("args")), "--private\n" + target + "\n");

    EXPECT_EQ(ShellRunWithTarget("", target), 2);
    EXPECT_EQ(ShellRunWithTarget("velmora-no-such-program-here", target), 2);
    EXPECT_EQ(ShellRunWithTarget(m_dir.File("missing/dir/prog"), target), 2);
    WriteFile(m_dir.File("file"), "", 0644);
    EXPECT_EQ(ShellRunWithTarget(m_dir.File("file") + "/prog", target), 3);
    WriteFile(m_dir.File("plain"), "#!/bin/sh\n", 0644);
    // Without an execute bit nobody may run it, root included.
    EXPECT_EQ(ShellRunWithTarget(m_dir.File("plain"), target), 5);
    WriteFile(m_dir.File("garbage"),
              std::string("\x7f"
                          "ELF\x01\x01 not a program",
                          20),
              0755);
    EXPECT_EQ(ShellRunWithTarget(m_dir.File("garbage"), target), 11);

    // A program file still open for writing cannot run: the sharing violation.
    WriteFile(m_dir.File("busy"), "#!/bin/sh\n", 0755);
    const int fd = open(m_dir.File("busy").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ShellRunWithTarget(m_dir.File("busy"), target), 26);
    close(fd);
}

// Every opener (a document, a link, the user's browser) runs away from the monitor's
// terminal: the opener, and whatever program it picks, can neither read it, draw on it nor
// make it its own, and nothing it says (xdg-open's chatter) lands in it.
TEST_F(ShellLinkTest, EveryOpenerRunsInASessionOfItsOwnAndSaysNothingOnOurTerminal) {
    const std::string seen = m_dir.File("seen");
    const std::string opener =
        "#!/bin/sh\necho 'xdg-open: 1: firefox: not found' >&2\n"
        "echo \"$$ $(ps -o sid= -p $$ | tr -d ' ') $(readlink /proc/$$/fd/0) "
        "$(readlink /proc/$$/fd/1) $(readlink /proc/$$/fd/2)\" > '" +
        seen + ".tmp'\nmv '" + seen + ".tmp' '" + seen + "'\n";
    WriteFile(m_dir.File("xdg-open"), opener, 0755);
    WriteFile(m_dir.File("browser"), opener, 0755);

    // Our standard error goes to a file while the openers run.
    const std::string ours = m_dir.File("our-stderr");
    const int saved = dup(2);
    ASSERT_GE(saved, 0);
    const int capture = open(ours.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(capture, 0);
    dup2(capture, 2);
    close(capture);

    const std::vector<std::pair<std::string, std::function<bool()>>> openers = {
        {"document", [] { return ShellOpenDocument("/var/log/monitor.txt"); }},
        {"link", [] { return ShellOpenLink("https://example.test/") == kShellOpenedResult; }},
        {"browser",
         [&] { return ShellRunWithTarget(m_dir.File("browser"), "https://example.test/") > 32; }},
    };
    for (const auto& [what, start] : openers) {
        unlink(seen.c_str());
        EXPECT_TRUE(start()) << what;
        EXPECT_TRUE(testsupport::WaitUntil([&] { return !ReadFile(seen).empty(); })) << what;
        std::istringstream fields(ReadFile(seen));
        std::string pid, session, input, output, errors;
        fields >> pid >> session >> input >> output >> errors;
        EXPECT_EQ(session, pid) << what;
        EXPECT_EQ(input, "/dev/null") << what;
        EXPECT_EQ(output, "/dev/null") << what;
        EXPECT_EQ(errors, "/dev/null") << what;
    }

    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(ReadFile(ours), "");
}

// The desktop's handler for a type is xdg-mime's answer; none, or no xdg-mime, is empty.
TEST_F(ShellLinkTest, TheDefaultApplicationIsWhatXdgMimeAnswers) {
    WriteFile(m_dir.File("xdg-mime"),
              "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + m_dir.File("args") +
                  "'\necho ' chmviewer.desktop'\n",
              0755);
    EXPECT_EQ(ShellDefaultApplication("application/vnd.ms-htmlhelp"), "chmviewer.desktop");
    EXPECT_EQ(ReadFile(m_dir.File("args")), "query\ndefault\napplication/vnd.ms-htmlhelp\n");
    WriteFile(m_dir.File("xdg-mime"), "#!/bin/sh\nexit 0\n", 0755);
    EXPECT_EQ(ShellDefaultApplication("application/vnd.ms-htmlhelp"), "");
    // Too slow: the query ends with every helper it started.
    WriteFile(m_dir.File("xdg-mime"),
              "#!/bin/sh\n/bin/sleep 60 &\necho $! > '" + m_dir.File("helper") + "'\nwait\n", 0755);
    EXPECT_EQ(ShellDefaultApplication("application/vnd.ms-htmlhelp"), "");
    const std::string helper = "/proc/" + std::to_string(std::stoi(ReadFile(m_dir.File("helper"))));
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        const std::string stat = ReadFile(helper + "/stat");
        return stat.empty() || stat.find(") Z ") != std::string::npos;
    }));
    setenv("PATH", m_dir.File("none").c_str(), 1);
    EXPECT_EQ(ShellDefaultApplication("application/vnd.ms-htmlhelp"), "");
}

}  // namespace
