// Engine at scale: the real send thread and receive thread on N loopback hosts
// (127.0.0.1 upwards; all of 127.0.0.0/8 answers on Linux) at interval I for T seconds,
// with a plain message target doing the host list view's bookkeeping on the main thread.
// Before it, in the same run, the floor: a minimal one-thread loop that sends the same
// echoes on one raw socket and drains the replies between sends (bench_support.h); the
// engine's CPU and context switches per echo are printed as ratios to it. Then, unless told
// not to, fping on the same targets at the same per-target interval for the same time, and
// the ratios of the two.
//
// Usage: engine_scale [--hosts N] [--interval MS] [--seconds T] [--timeout MS]
//                     [--no-fping] [--fping PATH]
// Needs root (raw sockets). Sends to loopback only.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_support.h"
#include "engine/engine_messages.h"
#include "engine/host_item.h"
#include "engine/host_list.h"
#include "engine/icmp_engine.h"
#include "engine/send_cycle.h"
#include "platform/message_target.h"
#include "platform/tick.h"

namespace {

struct Options {
    uint32_t hosts = 65535;
    uint32_t interval = 1000;
    uint32_t seconds = 30;
    uint32_t timeout = 2000;
    bool fping = true;
    std::string fpingPath = "fping";
};

struct Figures {
    uint64_t sent = 0;
    uint64_t replies = 0;
    uint64_t timeouts = 0;
    uint64_t sendFailures = 0;
    uint64_t unansweredAtEnd = 0;  // still waiting when the run ended (engine only)
    double cpuSeconds = 0;         // user + system of the pinging side
    double cpuSecondsWithView = 0;
    uint64_t switches = 0;  // context switches of the whole process, view included
    long peakRssKb = 0;
    double wallSeconds = 0;
    size_t processes = 0;  // fping only: processes run, and how many gave up
    size_t failedProcesses = 0;

    double FalseLossRate() const {
        return sent == 0 ? 0.0 : static_cast<double>(sent - replies) / static_cast<double>(sent);
    }
    double AnsweredPercent() const {
        return sent == 0 ? 0.0 : 100.0 * static_cast<double>(replies) / static_cast<double>(sent);
    }
    double CpuPerThousand() const {
        return sent == 0 ? 0.0 : cpuSeconds * 1000.0 / static_cast<double>(sent);
    }
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--no-fping") {
            options.fping = false;
        } else if (arg == "--fping" && hasValue) {
            options.fpingPath = argv[++i];
        } else if (arg == "--hosts" && hasValue) {
            if (!bench::ParseNumber(argv[++i], &options.hosts))
                return std::nullopt;
        } else if (arg == "--interval" && hasValue) {
            if (!bench::ParseNumber(argv[++i], &options.interval))
                return std::nullopt;
        } else if (arg == "--seconds" && hasValue) {
            if (!bench::ParseNumber(argv[++i], &options.seconds))
                return std::nullopt;
        } else if (arg == "--timeout" && hasValue) {
            if (!bench::ParseNumber(argv[++i], &options.timeout))
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (options.hosts < 1 || options.hosts > static_cast<uint32_t>(kMaxHosts) ||
        options.interval < 1 || options.seconds < 1)
        return std::nullopt;
    return options;
}

// Host i's address as text, for fping's target list.
std::string TargetAddress(uint32_t i) {
    in_addr address{bench::LoopbackTarget(i)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// The host list view's work per engine message: refuse cycles while stopped, keep the
// round-trip statistics, clear the pending tick of an answered request, count outcomes.
class View {
public:
    explicit View(CHostList* table) : m_table(table) {}

    LRESULT Handle(uint32_t msg, WPARAM wParam, LPARAM lParam) {
        switch (msg) {
            case WM_CYCLE_BEGIN:
                if (m_table->stopped.load() != 0)
                    return -1;
                ++cycles;
                return 0;
            case WM_CYCLE_END:
                return 0;
            case WM_PING_REPLY:
                return OnReply(static_cast<uint32_t>(wParam));
            case WM_PING_TIMEOUT:
                ++timeouts;
                return 0;
            case WM_PING_SENDFAIL:
                ++sendFailures;
                return 0;
            default:
                (void)lParam;
                return 0;
        }
    }

    LRESULT OnReply(uint32_t index) {
        CHostItem* host = m_table->Host(index);
        if (host == nullptr)
            return -1;
        ++replies;
        const uint32_t answer = host->answer_tick.load();
        if (answer != 0 && host->result.load() == PING_RESULT_REPLY) {
            const int32_t rtt = static_cast<int32_t>(answer - host->pending_tick.load());
            if (rtt < 0 || static_cast<uint32_t>(rtt) > host->timeout.load())
                return -3;
            if (static_cast<uint32_t>(rtt) < host->rtt_min)
                host->rtt_min = static_cast<uint32_t>(rtt);
            if (static_cast<uint32_t>(rtt) > host->rtt_max)
                host->rtt_max = static_cast<uint32_t>(rtt);
            host->rtt_sum += static_cast<uint32_t>(rtt);
            const uint32_t received = host->recv_count.load();
            if (received != 0)
                host->rtt_avg = static_cast<uint32_t>(host->rtt_sum / received);
            host->rtt_cur = static_cast<uint32_t>(rtt);
            if (static_cast<uint32_t>(rtt) > maxRtt)
                maxRtt = static_cast<uint32_t>(rtt);
        }
        if (answer != 0)
            host->pending_tick.store(0);
        return 0;
    }

    uint64_t cycles = 0;
    uint64_t replies = 0;
    uint64_t timeouts = 0;
    uint64_t sendFailures = 0;
    uint32_t maxRtt = 0;

private:
    CHostList* m_table;
};

std::optional<Figures> RunEngine(const Options& options) {
    if (CreateHostList(kMaxHosts) != 0) {
        std::fprintf(stderr, "cannot create the host table\n");
        return std::nullopt;
    }
    CHostList* table = g_pHostList;
    for (uint32_t i = 0; i < options.hosts; ++i) {
        CHostItem* host = AddHost(0);
        if (host == nullptr) {
            std::fprintf(stderr, "cannot add host %u\n", i);
            return std::nullopt;
        }
        host->StoreAddr4(bench::LoopbackTarget(i));
        host->interval.store(options.interval);
        host->timeout.store(options.timeout);
        PublishHost(host);
    }

    View view(table);
    QueueMessageTarget window(
        [&view](uint32_t m, WPARAM w, LPARAM l) { return view.Handle(m, w, l); });
    table->notify_wnd = &window;

    StartIcmpEngine();
    if (g_sockIcmp4 < 0 || g_hRecvThread == nullptr) {
        std::fprintf(stderr, "the ICMP engine did not start (raw sockets need root)\n");
        return std::nullopt;
    }

    csendpingthread sender;
    sender.SetPeriod(kMinSendPeriod);

    const bench::Usage before = bench::UsageOf(RUSAGE_SELF);
    const bench::Usage viewBefore = bench::UsageOf(RUSAGE_THREAD);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(options.seconds);
    table->stopped.store(0);
    sender.Resume();
    while (std::chrono::steady_clock::now() < end)
        window.Pump(20);

    // Stop the service, then give the last requests their time to be answered.
    table->stopped.store(1);
    const auto drainEnd = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::min<uint32_t>(options.timeout, 3000));
    while (std::chrono::steady_clock::now() < drainEnd)
        window.Pump(20);
    const bench::Usage used = bench::UsageOf(RUSAGE_SELF) - before;
    const bench::Usage viewUsed = bench::UsageOf(RUSAGE_THREAD) - viewBefore;
    const auto stop = std::chrono::steady_clock::now();

    sender.Stop();
    sender.WaitForExit();
    window.Pump(0);

    Figures figures;
    for (uint32_t i = 0; i < options.hosts; ++i) {
        CHostItem* host = table->Host(i);
        figures.sent += host->sent_count.load();
        figures.replies += host->recv_count.load();
        if (host->pending_tick.load() != 0 && host->answer_tick.load() == 0)
            ++figures.unansweredAtEnd;
    }
    figures.timeouts = view.timeouts;
    figures.sendFailures = view.sendFailures;
    figures.cpuSecondsWithView = used.cpu;
    figures.cpuSeconds = used.cpu - viewUsed.cpu;
    figures.switches = used.switches;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    figures.peakRssKb = usage.ru_maxrss;
    figures.wallSeconds = std::chrono::duration<double>(stop - start).count();
    std::printf(
        "engine: %llu cycles, largest round trip %u ms, replies seen by the view %llu, "
        "datagrams dropped by the kernel on the IPv4 socket %lld\n",
        static_cast<unsigned long long>(view.cycles), view.maxRtt,
        static_cast<unsigned long long>(view.replies),
        bench::KernelDrops(g_sockIcmp4, "/proc/net/raw"));
    table->notify_wnd = nullptr;
    // The receive thread would otherwise parse the comparison run's replies too.
    StopIcmpEngine();
    WaitIcmpRecvThreadEnd(3000);
    return figures;
}

// fping's own summary (-s): "N ICMP Echos sent" and so on, on standard error.
uint64_t SummaryNumber(const std::string& text, const char* label) {
    size_t at = text.find(label);
    if (at == std::string::npos)
        return 0;
    size_t lineStart = text.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    return std::strtoull(text.c_str() + lineStart, nullptr, 10);
}

// fping keeps one sequence space per process and will not reuse a number for 10 s, so one
// process handles at most 65,535 requests per 10 s. Larger runs are split over several
// fping processes running at once, each with its share of the targets.
uint32_t TargetsPerFping(const Options& options) {
    const uint64_t perProcess = 6000ull * options.interval / 1000;
    return static_cast<uint32_t>(std::clamp<uint64_t>(perProcess, 1, options.hosts));
}

struct FpingRun {
    pid_t pid = -1;
    std::string listPath;
    std::string outPath;
};

bool StartFping(const Options& options, uint32_t first, uint32_t end, FpingRun* run) {
    char listPath[] = "/tmp/engine-scale-targets-XXXXXX";
    char outPath[] = "/tmp/engine-scale-fping-XXXXXX";
    int listFd = mkstemp(listPath);
    int outFd = mkstemp(outPath);
    if (listFd < 0 || outFd < 0)
        return false;
    run->listPath = listPath;
    run->outPath = outPath;
    std::string list;
    for (uint32_t i = first; i < end; ++i)
        list += TargetAddress(i) + "\n";
    const bool written =
        write(listFd, list.data(), list.size()) == static_cast<ssize_t>(list.size());
    close(listFd);
    if (!written) {
        close(outFd);
        return false;
    }
    const uint32_t count = std::max<uint32_t>(1, options.seconds * 1000 / options.interval);
    // 32 payload bytes like the engine's default; no gap between targets (-i 0) so that
    // every target can keep its own interval; the time-out is fping's own for count mode.
    std::vector<std::string> args = {options.fpingPath,
                                     "-q",
                                     "-s",
                                     "-i",
                                     "0",
                                     "-b",
                                     "32",
                                     "-p",
                                     std::to_string(options.interval),
                                     "-c",
                                     std::to_string(count),
                                     "-f",
                                     run->listPath};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    run->pid = fork();
    if (run->pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(outFd, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(outFd);
    return run->pid > 0;
}

std::optional<Figures> RunFping(const Options& options) {
    const uint32_t share = TargetsPerFping(options);
    std::vector<FpingRun> runs;
    const auto start = std::chrono::steady_clock::now();
    bool started = true;
    for (uint32_t first = 0; first < options.hosts && started; first += share) {
        FpingRun run;
        started = StartFping(options, first, std::min(options.hosts, first + share), &run);
        runs.push_back(run);
    }
    Figures figures;
    figures.processes = runs.size();
    std::string firstFailure;
    for (FpingRun& run : runs) {
        if (run.pid > 0) {
            int status = 0;
            rusage usage{};
            if (wait4(run.pid, &status, 0, &usage) < 0)
                status = -1;
            std::ifstream outFile(run.outPath);
            std::string output((std::istreambuf_iterator<char>(outFile)),
                               std::istreambuf_iterator<char>());
            // fping ends with 1 when some target did not answer, 2 for unknown addresses.
            if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > 2) {
                ++figures.failedProcesses;
                if (firstFailure.empty())
                    firstFailure = output.substr(0, output.find('\n'));
            }
            figures.sent += SummaryNumber(output, "ICMP Echos sent");
            figures.replies += SummaryNumber(output, "ICMP Echo Replies received");
            figures.timeouts += SummaryNumber(output, "timeouts (waiting for response)");
            figures.cpuSeconds += bench::Seconds(usage.ru_utime) + bench::Seconds(usage.ru_stime);
            // They run at once: their peaks add up.
            figures.peakRssKb += usage.ru_maxrss;
        } else {
            ++figures.failedProcesses;
        }
        if (!run.listPath.empty())
            unlink(run.listPath.c_str());
        if (!run.outPath.empty())
            unlink(run.outPath.c_str());
    }
    if (!started || figures.failedProcesses == figures.processes) {
        std::fprintf(stderr, "fping did not run: %s\n", firstFailure.c_str());
        return std::nullopt;
    }
    figures.cpuSecondsWithView = figures.cpuSeconds;
    figures.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("fping: %zu process%s of up to %u targets each\n", runs.size(),
                runs.size() == 1 ? "" : "es", share);
    if (figures.failedProcesses != 0) {
        std::printf(
            "fping: %zu of %zu processes gave up (%s); the figures below are of the "
            "others\n",
            figures.failedProcesses, figures.processes, firstFailure.c_str());
    }
    return figures;
}

void Print(const char* who, const Figures& f) {
    std::printf(
        "%-7s sent %10llu  replies %10llu  time-outs %8llu  send failures %6llu  "
        "unanswered at end %6llu\n",
        who, static_cast<unsigned long long>(f.sent), static_cast<unsigned long long>(f.replies),
        static_cast<unsigned long long>(f.timeouts),
        static_cast<unsigned long long>(f.sendFailures),
        static_cast<unsigned long long>(f.unansweredAtEnd));
    std::printf(
        "%-7s answered %.4f%%  false-loss rate %.6f%%  CPU %.3f s (%.4f s per 1,000 "
        "echoes; %.3f s with the view)  peak RSS %ld KB  wall %.1f s\n",
        who, f.AnsweredPercent(), 100.0 * f.FalseLossRate(), f.cpuSeconds, f.CpuPerThousand(),
        f.cpuSecondsWithView, f.peakRssKb, f.wallSeconds);
}

double Ratio(double a, double b) {
    return b == 0 ? 0.0 : a / b;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: %s [--hosts N (1-65535)] [--interval MS] [--seconds T] "
                     "[--timeout MS] [--no-fping] [--fping PATH]\n",
                     argv[0]);
        return 2;
    }
    std::printf("%u hosts on 127.0.0.1 upwards, every %u ms, for %u s (time-out %u ms)\n",
                options->hosts, options->interval, options->seconds, options->timeout);
    std::fflush(stdout);

    // The floor first: its socket is closed before the engine opens its own, so neither
    // sees the other's replies.
    std::optional<bench::FloorFigures> floor =
        bench::RunFloor(options->hosts, options->interval, options->seconds, options->timeout);
    if (!floor) {
        std::fprintf(stderr, "the floor's raw socket did not open (raw sockets need root)\n");
        return 1;
    }
    bench::PrintFloor(*floor);
    std::fflush(stdout);

    std::optional<Figures> engine = RunEngine(*options);
    if (!engine)
        return 1;
    Print("engine", *engine);
    const double sent = static_cast<double>(engine->sent);
    const double perEcho = sent == 0 ? 0.0 : engine->cpuSeconds * 1e6 / sent;
    const double perEchoWithView = sent == 0 ? 0.0 : engine->cpuSecondsWithView * 1e6 / sent;
    std::printf(
        "engine  CPU per echo %.2f us (%.2f us with the view), context switches %llu (%.4f per "
        "echo, view included)\n",
        perEcho, perEchoWithView, static_cast<unsigned long long>(engine->switches),
        sent == 0 ? 0.0 : static_cast<double>(engine->switches) / sent);
    std::printf("engine/floor: CPU per echo %.2f (%.2f with the view)\n",
                Ratio(perEcho, floor->CpuPerEchoUs()),
                Ratio(perEchoWithView, floor->CpuPerEchoUs()));
    std::fflush(stdout);
    if (!options->fping)
        return 0;

    std::optional<Figures> fping = RunFping(*options);
    if (!fping)
        return 1;
    Print("fping", *fping);
    if (fping->failedProcesses != 0)
        return 0;  // no fair ratio against a partial run
    std::printf(
        "ratios engine/fping: sent %.3f  replies %.3f  CPU per 1,000 echoes %.3f  "
        "peak RSS %.3f\n",
        Ratio(static_cast<double>(engine->sent), static_cast<double>(fping->sent)),
        Ratio(static_cast<double>(engine->replies), static_cast<double>(fping->replies)),
        Ratio(engine->CpuPerThousand(), fping->CpuPerThousand()),
        Ratio(static_cast<double>(engine->peakRssKb), static_cast<double>(fping->peakRssKb)));
    return 0;
}
