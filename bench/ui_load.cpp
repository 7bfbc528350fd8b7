// UI load: the whole application, offscreen, monitoring N loopback hosts (127.0.0.1
// upwards; all of 127.0.0.0/8 answers on Linux) at interval I for T seconds. It starts the
// way the program starts (RunApplication, with a stored setup of N hosts in a sandboxed
// configuration directory), puts a counting window handle between the engine and the host
// list view, starts the service, and measures:
//   - the user-interface thread's event-loop latency: a 10 ms timer re-armed each time it
//     fires, and how late it fires (median, 99th percentile, maximum);
//   - engine messages handled per second by the view, and the share of the thread they took;
//   - how long a reply waited between the receive thread and the view;
//   - whether any engine message was lost: after the service stops and the last replies
//     are in, no matched reply may still wait for the view, and every row must show its
//     host's request and reply counts;
//   - CPU seconds of the process (and of the user-interface thread) and the peak RSS;
//   - CPU and context switches per echo, the CPU as a ratio to the floor: before the program
//     starts, a minimal one-thread loop sends the same echoes (bench_support.h).
//
// Usage: ui_load [--hosts N] [--interval MS] [--seconds T] [--timeout MS]
// Needs root (raw sockets). Sends to loopback only.

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "bench_support.h"
#include "app/app_main.h"
#include "app/corvantis_app.h"
#include "config/registry_storage.h"
#include "config/setup_document.h"
#include "config/setup_info.h"
#include "engine/engine_messages.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "engine/icmp_engine.h"
#include "platform/tick.h"
#include "ui/command_table.h"
#include "ui/corvantis_view.h"
#include "ui/main_frame.h"
#include "ui/ping_list_ctrl.h"
#include "ui/qt_message_target.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    uint32_t hosts = 65535;
    uint32_t interval = 1000;
    uint32_t seconds = 60;
    uint32_t timeout = 2000;
};

constexpr int kProbeMs = 10;
// Row columns that show a host's request and reply counts.
constexpr int kSentColumn = 5;
constexpr int kRepliesColumn = 6;
// Messages counted apart; everything else is "other".
constexpr std::array<uint32_t, 5> kCounted = {WM_CYCLE_BEGIN, WM_CYCLE_END, WM_PING_REPLY,
                                              WM_PING_TIMEOUT, WM_PING_SENDFAIL};
constexpr std::array<const char*, 6> kCountedNames = {"cycle begin", "cycle end", "reply",
                                                      "time-out",    "send fail", "other"};

Options g_options;
bench::FloorFigures g_floor;
std::string g_sandbox;
Clock::time_point g_processStart;

// What the counting window handle saw. User-interface thread only.
struct Counts {
    std::array<uint64_t, kCounted.size() + 1> messages{};
    Clock::duration busy{};  // time spent inside the view's handlers

    uint64_t Total() const {
        uint64_t total = 0;
        for (uint64_t n : messages)
            total += n;
        return total;
    }
};
Counts g_counts;       // since start-up
Counts g_runCounts;    // during the measured run only
bool g_inRun = false;  // between the service start and its stop

QtMessageTarget* g_counter = nullptr;
QTimer* g_probe = nullptr;
QElapsedTimer g_probeClock;
qint64 g_probeArmedNs = 0;
std::vector<double> g_lateMs;
// Milliseconds from a reply's arrival (its answer tick) to the view's handler; the last
// bucket holds everything longer.
constexpr size_t kDelayBuckets = 10001;
std::vector<uint64_t> g_replyDelay(kDelayBuckets);

struct Usage {
    bench::Usage process;  // the whole process
    bench::Usage thread;   // the calling thread
};
Usage g_runStartUsage;
Usage g_runEndUsage;
Clock::time_point g_runStart;
Clock::time_point g_runEnd;

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        uint32_t* field = nullptr;
        if (arg == "--hosts")
            field = &options.hosts;
        else if (arg == "--interval")
            field = &options.interval;
        else if (arg == "--seconds")
            field = &options.seconds;
        else if (arg == "--timeout")
            field = &options.timeout;
        if (field == nullptr || i + 1 >= argc || !bench::ParseNumber(argv[++i], field))
            return std::nullopt;
    }
    if (options.hosts < 1 || options.hosts > static_cast<uint32_t>(kMaxHosts) ||
        options.interval < 1 || options.seconds < 1 || options.timeout < 1)
        return std::nullopt;
    return options;
}

Usage UsageNow() {
    return {bench::UsageOf(RUSAGE_SELF), bench::UsageOf(RUSAGE_THREAD)};
}

double SecondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

bool MakeSandbox() {
    char path[] = "/tmp/velmora-ui-load-XXXXXX";
    if (mkdtemp(path) == nullptr)
        return false;
    g_sandbox = path;
    std::error_code error;
    std::filesystem::create_directories(g_sandbox + "/config", error);
    std::filesystem::create_directories(g_sandbox + "/runtime", error);
    std::filesystem::permissions(g_sandbox + "/runtime", std::filesystem::perms::owner_all, error);
    if (error)
        return false;
    // The program keeps its setup, its lock and its log in here, never in the user's own.
    setenv("XDG_CONFIG_HOME", (g_sandbox + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (g_sandbox + "/runtime").c_str(), 1);
    return true;
}

void RemoveSandbox() {
    if (g_sandbox.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(g_sandbox, ignored);
}

// The setup the program will load: N loopback hosts and the default alert settings, with
// mail and sound off (no server, no listener) and the service left stopped at start, so
// the run starts when the benchmark says. Events go to a log file in the sandbox.
bool StoreSetup() {
    if (CreateHostList(kMaxHosts) != 0)
        return false;
    g_pSetupInfo = new CSetupInfo();
    g_pSetupInfo->start_set = 0;
    g_pSetupInfo->sendmail = 0;
    g_pSetupInfo->beep = 0;
    g_pSetupInfo->logfilename = g_sandbox + "/velmora.log";
    bool filled = true;
    for (uint32_t i = 0; i < g_options.hosts && filled; ++i) {
        CHostItem* host = AddHost(0);
        filled = host != nullptr;
        if (!filled)
            break;
        host->name = "loopback " + std::to_string(i + 1);
        host->addr4.sin_family = AF_INET;
        host->StoreAddr4(bench::LoopbackTarget(i));
        host->interval.store(g_options.interval);
        host->timeout.store(g_options.timeout);
        PublishHost(host);
    }
    const int length = filled ? SerializeSetup() : -1;
    const bool stored = length > 0 && SaveRegistryBlob(g_setupBuffer.data(), length) == 1;
    DestroyHostList();
    delete g_pSetupInfo;
    g_pSetupInfo = nullptr;
    g_setupLength = 0;
    return stored;
}

size_t CountedSlot(uint32_t msg) {
    for (size_t i = 0; i < kCounted.size(); ++i) {
        if (kCounted[i] == msg)
            return i;
    }
    return kCounted.size();
}

// The window handle the engine gets in place of the view's own: counts every message and
// the time the view's handler takes, then hands it on unchanged.
LRESULT CountAndForward(uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_PING_REPLY && g_inRun && g_pHostList != nullptr) {
        const CHostItem* host = g_pHostList->Host(static_cast<uint32_t>(wParam));
        const uint32_t answered = host != nullptr ? host->answer_tick.load() : 0;
        if (answered != 0)
            ++g_replyDelay[std::min<size_t>(GetTick() - answered, kDelayBuckets - 1)];
    }
    const Clock::time_point began = Clock::now();
    const LRESULT result = g_pView != nullptr ? g_pView->WindowProc(msg, wParam, lParam) : 0;
    const Clock::duration took = Clock::now() - began;
    const size_t slot = CountedSlot(msg);
    ++g_counts.messages[slot];
    g_counts.busy += took;
    if (g_inRun) {
        ++g_runCounts.messages[slot];
        g_runCounts.busy += took;
    }
    return result;
}

void ArmProbe() {
    g_probeArmedNs = g_probeClock.nsecsElapsed();
    g_probe->start(kProbeMs);
}

void OnProbe() {
    const qint64 now = g_probeClock.nsecsElapsed();
    const double late = static_cast<double>(now - g_probeArmedNs) / 1e6 - kProbeMs;
    g_lateMs.push_back(std::max(0.0, late));
    if (g_inRun)
        ArmProbe();
}

double Quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty())
        return 0;
    const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

// The value below which a share `q` of the histogram's counts lie.
size_t HistogramQuantile(const std::vector<uint64_t>& buckets, double q) {
    uint64_t total = 0;
    for (uint64_t n : buckets)
        total += n;
    const auto rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(total)));
    uint64_t seen = 0;
    for (size_t i = 0; i < buckets.size(); ++i) {
        seen += buckets[i];
        if (seen >= std::max<uint64_t>(rank, 1))
            return i;
    }
    return 0;
}

size_t HistogramMax(const std::vector<uint64_t>& buckets) {
    for (size_t i = buckets.size(); i > 0; --i) {
        if (buckets[i - 1] != 0)
            return i - 1;
    }
    return 0;
}

struct LossCheck {
    uint64_t matchedReplies = 0;  // replies the engine matched to their hosts (recv_count)
    uint64_t sentRequests = 0;    // sent_count
    uint32_t waitingForView = 0;  // reply matched, view never handled it: a lost message
    uint32_t unanswered = 0;      // no answer at all (the echo itself was lost)
    uint32_t rowsChecked = 0;     // rows whose host had every outcome handled
    uint32_t rowsDiffering = 0;   // ... and that show other counts than the record
    uint32_t rowsMissing = 0;     // hosts the list shows no row for
    std::string firstDifference;
};

// After the service stopped and the replies were given their time.
LossCheck CheckForLoss() {
    LossCheck check;
    CHostList* table = g_pHostList;
    if (table == nullptr)
        return check;
    const QAbstractItemModel* model =
        g_pView != nullptr && g_pView->m_pList != nullptr ? g_pView->m_pList->model() : nullptr;
    const int rows = model != nullptr ? model->rowCount() : 0;
    const uint32_t count = table->count.load();
    check.rowsMissing = count > static_cast<uint32_t>(rows) ? count - rows : 0;
    for (uint32_t i = 0; i < count; ++i) {
        const CHostItem* host = table->Host(i);
        if (host == nullptr)
            continue;
        check.sentRequests += host->sent_count.load();
        check.matchedReplies += host->recv_count.load();
        if (host->pending_tick.load() != 0) {
            if (host->answer_tick.load() != 0)
                ++check.waitingForView;
            else
                ++check.unanswered;
        }
    }
    for (int row = 0; row < rows && row < g_rowCount; ++row) {
        const CHostItem* host = table->Host(static_cast<uint32_t>(g_rowToHost[row]));
        // A host still waiting for an answer was sent a request its row cannot show yet.
        if (host == nullptr || host->pending_tick.load() != 0)
            continue;
        ++check.rowsChecked;
        const QString sent = model->index(row, kSentColumn).data().toString();
        const QString replies = model->index(row, kRepliesColumn).data().toString();
        const QString wantSent = QString::number(host->sent_count.load());
        const QString wantReplies = QString::number(host->recv_count.load());
        if (sent != wantSent || replies != wantReplies) {
            if (check.rowsDiffering == 0) {
                check.firstDifference = "row " + std::to_string(row) + " shows " +
                                        sent.toStdString() + "/" + replies.toStdString() +
                                        ", its host has " + wantSent.toStdString() + "/" +
                                        wantReplies.toStdString();
            }
            ++check.rowsDiffering;
        }
    }
    return check;
}

bool AllAnswersIn() {
    CHostList* table = g_pHostList;
    if (table == nullptr)
        return true;
    const uint32_t count = table->count.load();
    for (uint32_t i = 0; i < count; ++i) {
        const CHostItem* host = table->Host(i);
        if (host != nullptr && host->pending_tick.load() != 0)
            return false;
    }
    return true;
}

[[noreturn]] void Finish(int code) {
    std::fflush(nullptr);
    // The orderly exit path: save, stop every worker thread, close the window.
    if (CMainFrame* frame = theApp.m_pMainWnd)
        frame->OnCommand(ID_APP_EXIT);
    RemoveSandbox();
    std::fflush(nullptr);
    // As the program does: worker threads given up at exit may still run.
    _exit(code);
}

int Report() {
    const double runSeconds = SecondsBetween(g_runStart, g_runEnd);
    const LossCheck check = CheckForLoss();

    std::vector<double> sorted = g_lateMs;
    std::sort(sorted.begin(), sorted.end());
    const double p99 = Quantile(sorted, 0.99);
    std::printf(
        "event loop: %zu probes every %d ms; late by median %.2f ms, p99 %.2f ms, max %.2f ms\n",
        sorted.size(), kProbeMs, Quantile(sorted, 0.5), p99, sorted.empty() ? 0.0 : sorted.back());

    const uint64_t handled = g_runCounts.Total();
    std::printf("engine messages: %llu handled in %.1f s, %.0f per second (",
                static_cast<unsigned long long>(handled), runSeconds,
                runSeconds > 0 ? static_cast<double>(handled) / runSeconds : 0.0);
    for (size_t i = 0; i < g_runCounts.messages.size(); ++i) {
        std::printf("%s%s %llu", i == 0 ? "" : ", ", kCountedNames[i],
                    static_cast<unsigned long long>(g_runCounts.messages[i]));
    }
    const double busy = std::chrono::duration<double>(g_runCounts.busy).count();
    std::printf(
        ");\n  the view's handlers took %.2f s of the user-interface thread (%.1f%%), "
        "%.2f us per message\n",
        busy, runSeconds > 0 ? 100.0 * busy / runSeconds : 0.0,
        handled > 0 ? busy * 1e6 / static_cast<double>(handled) : 0.0);

    std::printf("replies waited for the view: median %zu ms, p99 %zu ms, max %zu ms%s\n",
                HistogramQuantile(g_replyDelay, 0.5), HistogramQuantile(g_replyDelay, 0.99),
                HistogramMax(g_replyDelay), g_replyDelay.back() != 0 ? " (or more)" : "");

    const uint64_t replyMessages = g_counts.messages[CountedSlot(WM_PING_REPLY)];
    std::printf(
        "requests sent %llu, replies matched by the engine %llu, reply messages handled "
        "by the view %llu (since start-up)\n",
        static_cast<unsigned long long>(check.sentRequests),
        static_cast<unsigned long long>(check.matchedReplies),
        static_cast<unsigned long long>(replyMessages));
    const bool lost = check.waitingForView != 0 || check.rowsDiffering != 0 ||
                      check.rowsMissing != 0 || replyMessages < check.matchedReplies;
    std::printf(
        "lost messages: %s; replies never handled by the view %u, echoes never answered "
        "%u, rows checked %u, rows showing other counts %u, hosts without a row %u%s%s\n",
        lost ? "YES" : "none", check.waitingForView, check.unanswered, check.rowsChecked,
        check.rowsDiffering, check.rowsMissing,
        check.firstDifference.empty() ? "" : "; first: ", check.firstDifference.c_str());
    // Echoes lost before the engine could read them: the kernel's count for its socket.
    std::printf("datagrams dropped by the kernel on the engine's IPv4 socket: %lld\n",
                bench::KernelDrops(g_sockIcmp4, "/proc/net/raw"));

    const bench::Usage used = g_runEndUsage.process - g_runStartUsage.process;
    const double cpu = used.cpu;
    const double gui = g_runEndUsage.thread.cpu - g_runStartUsage.thread.cpu;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "CPU during the run: %.2f s (%.2f of a core): user-interface thread %.2f s (%.2f), "
        "the other threads (engine and workers, with the kernel's work for them) %.2f s "
        "(%.2f); peak RSS %ld KB\n",
        cpu, runSeconds > 0 ? cpu / runSeconds : 0.0, gui, runSeconds > 0 ? gui / runSeconds : 0.0,
        cpu - gui, runSeconds > 0 ? (cpu - gui) / runSeconds : 0.0, usage.ru_maxrss);
    const double echoes = static_cast<double>(check.sentRequests);
    const double perEcho = echoes > 0 ? cpu * 1e6 / echoes : 0.0;
    std::printf(
        "per echo: CPU %.2f us, %.2f times the floor's %.2f us; context switches %.4f "
        "(floor %.4f)\n",
        perEcho, g_floor.CpuPerEchoUs() > 0 ? perEcho / g_floor.CpuPerEchoUs() : 0.0,
        g_floor.CpuPerEchoUs(), echoes > 0 ? static_cast<double>(used.switches) / echoes : 0.0,
        g_floor.SwitchesPerEcho());

    const bool latencyOk = p99 < 100.0;
    const bool cpuOk = runSeconds > 0 && cpu / runSeconds < 1.0;
    std::printf("goals: p99 under 100 ms %s, no message lost %s, CPU under one core %s\n",
                latencyOk ? "met" : "MISSED", lost ? "MISSED" : "met", cpuOk ? "met" : "MISSED");
    return latencyOk && !lost && cpuOk ? 0 : 3;
}

void EndDrain(const Clock::time_point deadline) {
    if (!AllAnswersIn() && Clock::now() < deadline) {
        QTimer::singleShot(50, Qt::PreciseTimer, [deadline] { EndDrain(deadline); });
        return;
    }
    Finish(Report());
}

void EndRun() {
    g_runEnd = Clock::now();
    g_runEndUsage = UsageNow();
    g_inRun = false;
    g_probe->stop();
    CMainFrame* frame = theApp.m_pMainWnd;
    if (frame != nullptr)
        frame->OnCommand(ID_STOP_SERVICE);
    // A request sent just before the stop is answered within its time-out, or never.
    EndDrain(Clock::now() + std::chrono::milliseconds(g_options.timeout + 1000));
}

void BeginRun() {
    CMainFrame* frame = theApp.m_pMainWnd;
    if (frame == nullptr || g_pHostList == nullptr || g_pView == nullptr) {
        std::fprintf(stderr, "the main window did not come up\n");
        Finish(1);
    }
    if (g_sockIcmp4 < 0 || g_hRecvThread == nullptr) {
        std::fprintf(stderr, "the ICMP engine did not start (raw sockets need root)\n");
        Finish(1);
    }
    if (g_pHostList->notify_wnd != g_counter) {
        std::fprintf(stderr, "the engine's messages do not pass the counting handle\n");
        Finish(1);
    }
    std::printf("start-up with %u hosts loaded and listed: %.2f s\n", g_pHostList->count.load(),
                SecondsBetween(g_processStart, Clock::now()));
    std::fflush(stdout);

    g_probe = new QTimer(frame);
    g_probe->setSingleShot(true);
    g_probe->setTimerType(Qt::PreciseTimer);
    QObject::connect(g_probe, &QTimer::timeout, OnProbe);
    g_probeClock.start();
    g_lateMs.reserve(static_cast<size_t>(g_options.seconds) * (1000 / kProbeMs) + 16);

    g_runStartUsage = UsageNow();
    g_runStart = Clock::now();
    g_inRun = true;
    frame->OnCommand(ID_START_SERVICE);
    if (g_pHostList->stopped.load() != 0) {
        std::fprintf(stderr, "Start Service did not start the service\n");
        Finish(1);
    }
    ArmProbe();
    QTimer::singleShot(std::chrono::seconds(g_options.seconds), Qt::PreciseTimer, EndRun);
}

// Runs inside the main frame's creation, after the view registered itself and just before
// the send thread is resumed: no worker thread reads the notify window yet.
int StartEngineBehindCounter() {
    g_counter = new QtMessageTarget(CountAndForward);
    if (g_pHostList != nullptr && g_pView != nullptr) {
        // Under the exclusive lifetime lock, as the view itself sets it.
        std::unique_lock<std::shared_mutex> lock(g_pHostList->lifetime);
        if (g_pHostList->notify_wnd == g_pView->messageTarget())
            g_pHostList->notify_wnd = g_counter;
    }
    const int result = StartIcmpEngine();
    // Once the window is shown and the message loop runs.
    QTimer::singleShot(0, BeginRun);
    return result;
}

bool CanOpenRawSocket() {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    g_processStart = Clock::now();
    std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: %s [--hosts N (1-65535)] [--interval MS] [--seconds T] "
                     "[--timeout MS]\n",
                     argv[0]);
        return 2;
    }
    g_options = *options;
    if (!CanOpenRawSocket()) {
        std::fprintf(stderr, "ui_load needs raw sockets: run it as root\n");
        return 1;
    }
    if (!MakeSandbox()) {
        std::fprintf(stderr, "cannot make a sandbox directory under /tmp\n");
        RemoveSandbox();
        return 1;
    }
    if (!StoreSetup()) {
        std::fprintf(stderr, "cannot store the setup of %u hosts\n", g_options.hosts);
        RemoveSandbox();
        return 1;
    }
    std::printf(
        "%u hosts on 127.0.0.1 upwards, every %u ms, for %u s (time-out %u ms), "
        "the whole application offscreen\n",
        g_options.hosts, g_options.interval, g_options.seconds, g_options.timeout);
    std::fflush(stdout);

    // The floor first, while no other raw socket is open in the process.
    std::optional<bench::FloorFigures> floor =
        bench::RunFloor(g_options.hosts, g_options.interval, g_options.seconds, g_options.timeout);
    if (!floor) {
        std::fprintf(stderr, "the floor's raw socket did not open\n");
        RemoveSandbox();
        return 1;
    }
    g_floor = *floor;
    bench::PrintFloor(g_floor);
    std::fflush(stdout);
    g_processStart = Clock::now();  // start-up is timed from here

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    CMainFrame::SetEngineStarter(StartEngineBehindCounter);
    // The program's own start-up and message loop; Finish ends the process from inside it.
    static char name[] = "ui_load";
    static char* args[] = {name, nullptr};
    int count = 1;
    const int code = RunApplication(count, args);
    RemoveSandbox();
    return code == 0 ? 1 : code;  // reaching here means the program ended before the run did
}
