// Tests of the built program itself: single instance, kill and restart, SIGTERM and
// SIGHUP at exit, and a real window under a virtual X server.
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <QLibraryInfo>

#include <gtest/gtest.h>

#include "app/corvantis_app.h"
#include "common/test_support.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/host_list.h"
#include "platform/ini_file.h"
#include "platform/instance_lock.h"
#include "platform/registry_store.h"
#include "ui/ext_list_ctrl.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// `errorFile`, when given, receives the program's standard error.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            const std::string& errorFile = "") {
    // The extra variables replace inherited ones of the same name.
    std::vector<std::string> env = extraEnv;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string var = *e;
        const std::string name = var.substr(0, var.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : extraEnv)
            replaced = replaced || extra.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(var);
    }
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!errorFile.empty())
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for `pid` to end; its exit status, or -1 when it did not end in time (then it is
// killed).
int WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
    int status = 0;
    const bool ended =
        testsupport::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool LockHeldElsewhere() {
    InstanceLock probe;
    return probe.Acquire(kInstanceLockName) == InstanceLock::Result::kHeldElsewhere;
}

// Waits until `pid` has its frame: SIGTERM, SIGHUP and SIGINT then run the exit path (before,
// their default action ends it at once), and the kernel shows the three caught.
bool WaitArmed(pid_t pid) {
    const uint64_t three = 1ull << (SIGTERM - 1) | 1ull << (SIGHUP - 1) | 1ull << (SIGINT - 1);
    return testsupport::WaitUntil(
        [&] {
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("SigCgt:", 0) == 0)
                    return (std::stoull(line.substr(7), nullptr, 16) & three) == three;
            }
            return false;
        },
        30s);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ProgramTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        std::filesystem::permissions(m_dir.File("runtime"), std::filesystem::perms::owner_all);
    }
    void TearDown() override {
        for (pid_t pid : m_pids) {
            if (kill(pid, 0) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        SandboxTest::TearDown();
    }

    pid_t Start(const std::vector<std::string>& extraEnv = {"QT_QPA_PLATFORM=offscreen"},
                const std::string& program = VELMORA_BINARY, const std::string& errorFile = "") {
        const pid_t pid = Spawn({program}, extraEnv, errorFile);
        EXPECT_GT(pid, 0);
        if (pid > 0)
            m_pids.push_back(pid);
        return pid;
    }

    // Stores a setup with `hosts` loopback hosts and the given start-up bits; `edit` may
    // change the settings and each host before they are stored.
    void StoreSetup(int hosts, int32_t startSet,
                    const std::function<void(CSetupInfo&, CHostItem&)>& edit = nullptr) {
        ASSERT_EQ(CreateHostList(kMaxHosts), 0);
        g_pSetupInfo = new CSetupInfo();
        g_pSetupInfo->start_set = startSet;
        for (int i = 0; i < hosts; ++i) {
            CHostItem* host = AddHost(0);
            ASSERT_NE(host, nullptr);
            host->name = "loopback " + std::to_string(i + 1);
            host->addr4.sin_family = AF_INET;
            host->addr4.sin_addr.s_addr = htonl(0x7F000001 + static_cast<uint32_t>(i));
            host->interval = 500;
            if (edit)
                edit(*g_pSetupInfo, *host);
            PublishHost(host);
        }
        const int length = SerializeSetup();
        ASSERT_GT(length, 0);
        ASSERT_EQ(SaveRegistryBlob(g_setupBuffer.data(), length), 1);
        DestroyHostList();
        delete g_pSetupInfo;
        g_pSetupInfo = nullptr;
    }

    // Starts a virtual X server on a display nobody uses and waits until it listens; its
    // pid, or -1.
    pid_t StartXvfb(std::string& display) {
        int number = 90 + getpid() % 100;
        while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
               std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock"))
            ++number;
        display = ":" + std::to_string(number);
        const pid_t xvfb =
            Spawn({"Xvfb", display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {});
        if (xvfb <= 0)
            return -1;
        m_pids.push_back(xvfb);
        const std::string socket = "/tmp/.X11-unix/X" + display.substr(1);
        if (!testsupport::WaitUntil([&] { return std::filesystem::exists(socket); }))
            return -1;
        return xvfb;
    }

    std::string StoreFile() const { return m_dir.File("config") + "/velmora/" + kSetupStoreFile; }
    std::string AutostartFile() const {
        return m_dir.File("config") + "/autostart/velmora.desktop";
    }

    std::vector<pid_t> m_pids;
};

TEST_F(ProgramTest, ASecondStartEndsAtOnceAndChangesNothing) {
    StoreSetup(1, kStartSetAutoStart);
    const std::string stored = ReadFile(StoreFile());
    const pid_t first = Start();
    ASSERT_TRUE(WaitArmed(first));
    const auto began = std::chrono::steady_clock::now();
    const pid_t second = Start();
    EXPECT_EQ(WaitExit(second, 5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    EXPECT_EQ(kill(first, 0), 0);  // the first one runs on
    EXPECT_TRUE(LockHeldElsewhere());
    EXPECT_EQ(ReadFile(StoreFile()), stored);
    EXPECT_FALSE(std::filesystem::exists(AutostartFile()));
    kill(first, SIGTERM);
    EXPECT_EQ(WaitExit(first, 10s), 0);
}

// Where no display can be opened, a second start still ends at once and says nothing; a
// first start says so in one line and ends with status 1.
TEST_F(ProgramTest, WithoutADisplayASecondStartEndsSilentlyAndAFirstSaysSoInOneLine) {
    InstanceLock first;  // another instance runs
    ASSERT_EQ(first.Acquire(kInstanceLockName), InstanceLock::Result::kAcquired);
    const std::string errors = m_dir.File("errors");
    const std::string display = ":" + std::to_string(7000 + getpid() % 1000);
    const auto began = std::chrono::steady_clock::now();
    const pid_t second =
        Start({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display}, VELMORA_BINARY, errors);
    EXPECT_EQ(WaitExit(second, 5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    EXPECT_EQ(ReadFile(errors), "");
    first.Release();
    const pid_t only = Start({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display}, VELMORA_BINARY, errors);
    EXPECT_EQ(WaitExit(only, 10s), 1);
    EXPECT_EQ(ReadFile(errors), "velmora: cannot open display \"" + display + "\"\n");
    // In a Wayland session whose display is not there either, the line names what is missing.
    const bool plugin =
        std::filesystem::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() +
                                "/platforms/libqwayland-generic.so");
    const pid_t wayland =
        Start({"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY=w"}, VELMORA_BINARY, errors);
    EXPECT_EQ(WaitExit(wayland, 10s), 1);
    EXPECT_EQ(
        ReadFile(errors),
        std::string("velmora: cannot open a display: DISPLAY is not set, and ") +
            (plugin ? "cannot open Wayland display \"w\"\n"
                    : "the Qt Wayland platform plugin is not installed (package qt6-wayland)\n"));
}

// A start stuck in Qt on a display that takes the connection and never answers (a stalled
// forwarded X connection) holds the lock: SIGTERM ends it at once, and the next start runs.
TEST_F(ProgramTest, SigtermEndsAStartStuckOnADisplayThatNeverAnswers) {
    if (std::filesystem::create_directories("/tmp/.X11-unix"))
        std::filesystem::permissions("/tmp/.X11-unix", std::filesystem::perms(01777));
    struct Display {
        int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), peer = -1, number = -1;
        sockaddr_un name{AF_UNIX, {}};
        ~Display() { close(peer), close(listener), unlink(number < 0 ? "" : name.sun_path); }
    } display;
    // A number no X server uses: no lock file, and the socket's name is free.
    for (int n = 300 + getpid() % 100; n < 1000 && display.number < 0; ++n) {
        std::snprintf(display.name.sun_path, sizeof(sockaddr_un::sun_path), "/tmp/.X11-unix/X%d",
                      n);
        if (!std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock") &&
            bind(display.listener, reinterpret_cast<sockaddr*>(&display.name),
                 sizeof(sockaddr_un)) == 0)
            display.number = n;
    }
    ASSERT_GE(display.number, 0);
    ASSERT_EQ(listen(display.listener, 4), 0);
    const pid_t pid = Start({"QT_QPA_PLATFORM=xcb", "DISPLAY=:" + std::to_string(display.number)});
    pollfd connecting{display.listener, POLLIN, 0};
    ASSERT_EQ(poll(&connecting, 1, 30000), 1);  // the program is in Qt, waiting for an answer
    display.peer = accept(display.listener, nullptr, nullptr);  // kept open, never answered
    ASSERT_GE(display.peer, 0);
    EXPECT_TRUE(LockHeldElsewhere());
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 2s), 128 + SIGTERM);
    EXPECT_FALSE(LockHeldElsewhere());
    const pid_t next = Start();
    ASSERT_TRUE(WaitArmed(next));
    kill(next, SIGTERM);
    EXPECT_EQ(WaitExit(next, 10s), 0);
}

// Killed, the program still leaves the run-at-logon entry that "Run at start up" (on by
// default) asks for: it is written at start.
TEST_F(ProgramTest, AStartAfterTheFirstWasKilledSucceeds) {
    const pid_t first = Start();
    ASSERT_TRUE(WaitArmed(first));
    kill(first, SIGKILL);
    EXPECT_EQ(WaitExit(first, 5s), 128 + SIGKILL);
    EXPECT_FALSE(LockHeldElsewhere());
    EXPECT_TRUE(std::filesystem::exists(AutostartFile()));
    const pid_t again = Start();
    ASSERT_TRUE(WaitArmed(again));
    EXPECT_EQ(kill(again, 0), 0);
    kill(again, SIGTERM);
    EXPECT_EQ(WaitExit(again, 10s), 0);
}

TEST_F(ProgramTest, SigtermRunsTheExitPathAndRemovesAnUnwantedRunAtLogonEntry) {
    StoreSetup(1, kStartSetAutoStart);  // bit 0 clear: no run-at-logon entry wanted
    ASSERT_EQ(SetRunAtLogon(2), 1);
    ASSERT_TRUE(std::filesystem::exists(AutostartFile()));
    const pid_t pid = Start();
    ASSERT_TRUE(WaitArmed(pid));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 10s), 0);
    EXPECT_FALSE(std::filesystem::exists(AutostartFile()));
}

// A program file replaced while the monitor runs (a rebuild): the run-at-logon entry that
// SIGHUP's exit path writes names the file's path, where the new program is, not the link
// text of the one that went.
TEST_F(ProgramTest, SighupRunsTheExitPathAndWritesTheRunAtLogonEntryForTheProgramsPath) {
    StoreSetup(1, kStartSetRunAtLogon);
    const std::string program = m_dir.File("velmora");
    std::filesystem::copy_file(VELMORA_BINARY, program);
    const pid_t pid = Start({"QT_QPA_PLATFORM=offscreen"}, program);
    ASSERT_TRUE(WaitArmed(pid));
    std::filesystem::copy_file(VELMORA_BINARY, program + ".new");
    std::filesystem::rename(program + ".new", program);
    kill(pid, SIGHUP);
    EXPECT_EQ(WaitExit(pid, 10s), 0);
    ASSERT_TRUE(std::filesystem::exists(AutostartFile()));
    const std::string exec = "\nExec=" + DesktopExecQuote(program) + " ICON\n";
    EXPECT_NE(ReadFile(AutostartFile()).find(exec), std::string::npos) << ReadFile(AutostartFile());
}

// SIGTERM while the store cannot be written, after Setup > OK marked the setup changed: no box
// holds the exit; the failed save is one line on stderr and the run-at-logon entry is written.
TEST_F(ProgramTest, SigtermWithAStoreThatFailsNeverWaitsOnABox) {
    if (testsupport::RunShell("command -v Xvfb xdotool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Xvfb or xdotool is not installed (scripts/test installs them)";
    StoreSetup(1, kStartSetRunAtLogon);
    std::string display;
    ASSERT_GT(StartXvfb(display), 0);
    const std::string errors = m_dir.File("stderr.txt");
    const pid_t pid = Start({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display}, VELMORA_BINARY, errors);
    ASSERT_TRUE(WaitArmed(pid));
    // As a user would: Setup (Ctrl+S), then OK (Tab from Cancel, Space), which marks the setup
    // changed.
    auto x = [&](const std::string& command) {
        return testsupport::RunShell("export DISPLAY=" + display + "; " + command +
                                     " >/dev/null 2>&1");
    };
    const std::string find = "timeout 20 xdotool search --sync --onlyvisible --name ";
    ASSERT_EQ(x(find + "'Velmora IPV6' windowfocus --sync && xdotool key ctrl+s"), 0);
    ASSERT_EQ(x(find + "'^Setup$' windowfocus --sync && xdotool key Tab space"), 0);
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return x("xdotool search --onlyvisible --name '^Setup$'") != 0; }));
    const std::string folder = m_dir.File("config") + "/velmora";
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "a file where the folder was";
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 5s), 0);
    EXPECT_NE(ReadFile(errors).find(
                  "velmora: The setup could not be saved in " + folder +
                  "/setup.hive: Not a directory. The changes since the last save are lost.\n"),
              std::string::npos)
        << ReadFile(errors);
    EXPECT_TRUE(std::filesystem::exists(AutostartFile()));
}

// The column layout is written on the way out, also when a signal ends the program, and
// the next start shows what the last one wrote.
TEST_F(ProgramTest, TheColumnLayoutIsWrittenAtSigtermAndReadAtTheNextStart) {
    const std::string section = CExtListCtrl::LayoutSection();
    auto stored = [&](const char* key) {
        return GetProfileString(section, key, "<none>", kLayoutValueSize);
    };
    // A fresh configuration: what the first run showed is what it keeps.
    pid_t pid = Start();
    ASSERT_TRUE(WaitArmed(pid));
    kill(pid, SIGTERM);
    ASSERT_EQ(WaitExit(pid, 10s), 0);
    EXPECT_EQ(stored(kLayoutWidthKey), "328;160;168;68;160;128;128;88;");
    EXPECT_EQ(stored(kLayoutKeepWidthKey), "50;50;50;50;50;50;50;50;");
    EXPECT_EQ(stored(kLayoutIndexKey), "0;1;2;3;4;5;6;7;");

    // "TTL" hidden and "Lost rate" first, as a run of the user left them. Once the window
    // is up the file goes: only the running program still knows the layout.
    ASSERT_TRUE(WriteProfileString(section, kLayoutWidthKey, "328;160;168;0;160;128;128;88;"));
    ASSERT_TRUE(WriteProfileString(section, kLayoutKeepWidthKey, "50;50;50;68;50;50;50;50;"));
    ASSERT_TRUE(WriteProfileString(section, kLayoutIndexKey, "7;0;1;2;3;4;5;6;"));
    const std::string shown = m_dir.File("shown.png");
    pid = Start(
        {"QT_QPA_PLATFORM=offscreen", "VELMORA_GRAB_PNG=" + shown, "VELMORA_GRAB_DELAY_MS=0"});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return std::filesystem::exists(shown); }));
    ASSERT_TRUE(std::filesystem::remove(WinIniPath()));
    kill(pid, SIGTERM);
    ASSERT_EQ(WaitExit(pid, 10s), 0);
    EXPECT_EQ(stored(kLayoutWidthKey), "328;160;168;0;160;128;128;88;");
    EXPECT_EQ(stored(kLayoutKeepWidthKey), "50;50;50;68;50;50;50;50;");
    EXPECT_EQ(stored(kLayoutIndexKey), "7;0;1;2;3;4;5;6;");
}

// Ends the monitor while its mail thread waits on a mail server that never says a word. In
// a network namespace of its own, whose loopback ignores echo requests, the monitor's one
// host never answers and goes down; its down mail goes to a server on that loopback that
// takes the connection and stays silent.
TEST_F(ProgramTest, ExitEndsWithinSecondsWhileAMailWaitsOnASilentServer) {
    VELMORA_REQUIRE_ROOT();
    for (const char* tool : {"ip", "python3"}) {
        if (testsupport::RunShell(std::string("command -v ") + tool + " >/dev/null 2>&1") != 0)
            GTEST_SKIP() << tool << " is not installed (scripts/test installs it)";
    }
    const std::string ns = "velmora-exit-" + std::to_string(getpid());
    struct Namespace {
        std::string name;
        ~Namespace() { testsupport::RunShell("ip netns del " + name + " 2>/dev/null"); }
    } guard{ns};
    ASSERT_EQ(testsupport::RunShell("ip netns add " + ns + " && ip -n " + ns +
                                    " link set lo up && ip netns exec " + ns +
                                    " sysctl -qw net.ipv4.icmp_echo_ignore_all=1"),
              0);
    const std::string accepted = m_dir.File("accepted");
    const std::string server =
        "import socket, time\n"
        "s = socket.socket()\n"
        "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        "s.bind(('127.0.0.1', 2525))\n"
        "s.listen(4)\n"
        "c, _ = s.accept()\n"
        "open('" +
        accepted +
        "', 'w').close()\n"
        "time.sleep(120)\n";
    const pid_t silent = Spawn({"ip", "netns", "exec", ns, "python3", "-c", server}, {});
    ASSERT_GT(silent, 0);
    m_pids.push_back(silent);

    StoreSetup(1, kStartSetAutoStart, [](CSetupInfo& setup, CHostItem& host) {
        setup.beep = 0;
        setup.sendmail = 1;
        setup.smtpserver = "127.0.0.1";
        setup.smtpport = 2525;
        setup.emailfrom = "monitor@example.org";
        setup.newemailcount = 1;
        setup.newemailto[0] = "admin@example.org";
        setup.emailgrouplist[0] = 0;
        host.interval = 200;
        host.timeout = 200;
    });

    const pid_t pid =
        Spawn({"ip", "netns", "exec", ns, VELMORA_BINARY}, {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_GT(pid, 0);
    m_pids.push_back(pid);
    // The host went down and its mail thread is connected, waiting for a greeting.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return std::filesystem::exists(accepted); }, 20s));
    ASSERT_TRUE(WaitArmed(pid));
    const auto began = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 15s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 6s);
}

// An alert's box is never hidden behind the program's own windows: under openbox, with the main
// window maximized and Setup open, the one host goes down (its namespace stops answering); its
// box is above the main window in the stacking order while Setup is open and after it closed.
TEST_F(ProgramTest, AnAlertsBoxStaysAboveTheMainWindowUnderOpenbox) {
    VELMORA_REQUIRE_ROOT();
    if (testsupport::RunShell("command -v Xvfb openbox xdotool xprop unshare >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "a tool is missing (scripts/test installs them)";
    StoreSetup(1, kStartSetAutoStart, [](CSetupInfo& setup, CHostItem& host) {
        setup.popupbox = 1;
        setup.beep = host.notify_up = 0;
    });
    std::string display;
    ASSERT_GT(StartXvfb(display), 0);
    auto x = [&](const std::string& command) {
        return testsupport::RunShell("export DISPLAY=" + display + "; " + command +
                                     " >/dev/null 2>&1");
    };
    m_pids.push_back(Spawn({"openbox", "--sm-disable"}, {"DISPLAY=" + display}));
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return x("xprop -root | grep -q _NET_SUPPORTING_WM_CHECK") == 0; }));
    const pid_t pid =
        Spawn({"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\"", VELMORA_BINARY},
              {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display});
    m_pids.push_back(pid);
    const std::string find = "timeout 20 xdotool search --sync --onlyvisible --name ";
    ASSERT_EQ(x(find + "'^Velmora IPV6$' windowfocus --sync && xdotool key ctrl+s"), 0);
    ASSERT_EQ(x(find + "'^Setup$'"), 0);
    ASSERT_EQ(
        x("nsenter -t " + std::to_string(pid) + " -n sysctl -qw net.ipv4.icmp_echo_ignore_all=1"),
        0);
    ASSERT_EQ(x(find + "'^127.0.0.1$'"), 0);
    // The main window's id, then the box's, in the order of the stack (bottom first).
    const std::string above =
        "id() { printf ' 0x%x,' $(xdotool search --onlyvisible --name \"^$1$\"); };"
        " case \"$(xprop -root _NET_CLIENT_LIST_STACKING),\" in"
        " *\"$(id 'Velmora IPV6')\"*\"$(id 127.0.0.1)\"*) ;; *) false ;; esac";
    EXPECT_EQ(x(above), 0);
    ASSERT_EQ(x(find + "'^Setup$' windowactivate --sync && xdotool key Escape"), 0);
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return x("xdotool search --onlyvisible --name '^Setup$'") != 0; }));
    EXPECT_EQ(x(above), 0);
}

// The X server goes away under the running monitor (Qt then ends the program with exit()):
// the program ends and frees its instance lock, so that it can be started again.
TEST_F(ProgramTest, TheProgramEndsWhenItsDisplayGoesAway) {
    if (testsupport::RunShell("command -v Xvfb >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Xvfb is not installed (scripts/test installs it)";
    std::string display;
    const pid_t xvfb = StartXvfb(display);
    ASSERT_GT(xvfb, 0);
    // Qt's exit() leaves what the program holds allocated (the application object lives on
    // main's stack, the system libraries keep their caches): no leak check for this end.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string noLeakCheck =
        std::string("ASAN_OPTIONS=") + (sanitizer != nullptr ? sanitizer : "") + ":detect_leaks=0";
    // The picture is taken from the message loop, so once it exists every worker runs.
    const std::string drawn = m_dir.File("drawn.png");
    const pid_t pid = Start({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display, noLeakCheck,
                             "VELMORA_GRAB_PNG=" + drawn, "VELMORA_GRAB_DELAY_MS=200"});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return std::filesystem::exists(drawn); }, 30s));
    kill(xvfb, SIGKILL);
    WaitExit(xvfb, 5s);
    EXPECT_EQ(WaitExit(pid, 10s), 1);
    EXPECT_FALSE(LockHeldElsewhere());
    // The end of the X session is an end of the program too: the column layout is kept.
    EXPECT_EQ(GetProfileString(CExtListCtrl::LayoutSection(), kLayoutIndexKey, "<none>",
                               kLayoutValueSize),
              "0;1;2;3;4;5;6;7;");
}

// Share of the pixels of `area` that `a` and `b` show alike (each channel within a few
// steps), and the number of distinct colours `a` shows there.
struct AreaMatch {
    double alike = 0;
    int colours = 0;
};
AreaMatch CompareArea(const QImage& a, const QImage& b, const QRect& area) {
    AreaMatch match;
    std::set<QRgb> colours;
    long same = 0, total = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            colours.insert(p & 0xFFFFFF);
            ++total;
            if (std::abs(qRed(p) - qRed(q)) <= 8 && std::abs(qGreen(p) - qGreen(q)) <= 8 &&
                std::abs(qBlue(p) - qBlue(q)) <= 8)
                ++same;
        }
    }
    match.alike = total > 0 ? static_cast<double>(same) / total : 0;
    match.colours = static_cast<int>(colours.size());
    return match;
}

// The real window on a virtual X server, monitoring a few loopback hosts: a screenshot of
// the X screen is taken from outside the program and must show menu, toolbar, host list,
// event list and status bar, top to bottom, where the program laid them out and as it drew
// them.
TEST_F(ProgramTest, ARealWindowUnderAVirtualXServer) {
    for (const char* tool : {"Xvfb", "import"}) {
        if (testsupport::RunShell(std::string("command -v ") + tool + " >/dev/null 2>&1") != 0)
            GTEST_SKIP() << tool << " is not installed (scripts/test installs it)";
    }
    // Three IPv4 loopback hosts and the IPv6 one.
    StoreSetup(4, kStartSetAutoStart, [](CSetupInfo&, CHostItem& host) {
        if (host.name != "loopback 4")
            return;
        host.addr4 = sockaddr_in{};
        host.addr6.sin6_family = AF_INET6;
        host.addr6.sin6_addr = in6addr_loopback;
        host.ResolveIPv6(nullptr);
    });
    std::string display;
    const pid_t xvfb = StartXvfb(display);
    ASSERT_GT(xvfb, 0);

    // The program draws its window into `drawn` and writes where each part lies beside it.
    const std::string drawn = m_dir.File("drawn.png");
    const pid_t pid = Start({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display,
                             "VELMORA_GRAB_PNG=" + drawn, "VELMORA_GRAB_DELAY_MS=2500"});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return std::filesystem::exists(drawn); }, 30s));
    const std::string shot = m_dir.File("screen.png");
    ASSERT_EQ(testsupport::RunShell("import -display " + display + " -window root png24:" + shot +
                                    " 2>/dev/null"),
              0);
    QImage screen, image;
    ASSERT_TRUE(screen.load(QString::fromStdString(shot)));
    ASSERT_TRUE(image.load(QString::fromStdString(drawn)));
    EXPECT_EQ(screen.size(), QSize(1280, 800));
    // Started maximized: without a window manager to do it, the window is given the screen.
    EXPECT_EQ(image.size(), screen.size());

    std::map<std::string, QRect> parts;
    std::ifstream layout(drawn + ".layout");
    std::string name;
    int x, y, w, h;
    while (layout >> name >> x >> y >> w >> h)
        parts[name] = QRect(x, y, w, h);
    for (const char* part : {"menu", "toolbar", "hosts", "events", "status"}) {
        ASSERT_TRUE(parts.count(part)) << part;
        const QRect r = parts[part];
        EXPECT_GT(r.width(), image.width() / 2) << part;
        EXPECT_GT(r.height(), 10) << part;
        ASSERT_TRUE(image.rect().contains(r)) << part;
        ASSERT_TRUE(screen.rect().contains(r)) << part;
        // On the screen as drawn (live rows may have changed a few pixels since), and not
        // one flat colour: text, buttons or rows are there.
        const AreaMatch match = CompareArea(screen, image, r);
        EXPECT_GT(match.alike, 0.85) << part;
        EXPECT_GE(match.colours, 3) << part;
    }
    EXPECT_LT(parts["menu"].bottom(), parts["toolbar"].top());
    EXPECT_LT(parts["toolbar"].bottom(), parts["hosts"].top());
    EXPECT_LT(parts["hosts"].bottom(), parts["events"].top());
    EXPECT_LT(parts["events"].bottom(), parts["status"].top());
    const double share = static_cast<double>(parts["events"].height()) /
                         (parts["hosts"].height() + parts["events"].height());
    EXPECT_NEAR(share, 0.2, 0.05);
    if (const char* keep = std::getenv("VELMORA_KEEP_SCREENSHOT"))
        screen.copy(image.rect()).save(QString::fromLocal8Bit(keep), "PNG");
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 10s), 0);
    kill(xvfb, SIGTERM);
    WaitExit(xvfb, 5s);
}

}  // namespace
