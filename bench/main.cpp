// Load tool: plays terminals and DVRs on 127.0.0.1 and measures the bridge side by side with
// one socat relay per channel and with terminals connected straight to their DVRs.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "load.h"
#include "printer_path.h"
#include "relay.h"
#include "report.h"
#include "sys.h"

extern char** environ;

namespace bench {
namespace {

namespace fs = std::filesystem;

// Lines per channel in one slice of the busy latency run; with 16 channels a slice lasts a
// few milliseconds, so the relays take turns far faster than other work comes and goes.
constexpr size_t kBusySliceLines = 4;
// Neither latency run may take longer than this, whatever the machine does.
constexpr double kLatencyRunLimitSeconds = 25;
constexpr double kThroughputWarmup = 0.2;
constexpr double kThroughputOneWindow = 0.5;
constexpr double kThroughputBusyWindow = 1.0;

struct Options {
    std::string poskavelin = "build/poskavelin";
    std::string socat = "/usr/bin/socat";
    std::string out = "bench/RESULTS.md";
    std::string command;
    std::string revision = "unknown";
    int busy = kChannels;
    // One channel busy: rounds of `lines` lines, each round poskavelin, then socat, then
    // direct, so the ratio is the median of per-round ratios and a burst of other work
    // spoils one round, not the figure. All channels busy: the relays take turns slice by
    // slice.
    int rounds = 11;
    int lines = 3000;
    int slices = 400;
    // Latency only, for checking a change in well under 30 s.
    bool quick = false;
    // Where the latency samples for the plots go; none when empty.
    std::string plots;
    int throughputRounds = 3;
    double idleSeconds = 30;
    double refusingSeconds = 30;
    bool keep = false;
    // For profiling runs: latency and throughput only.
    bool skipQuiet = false;
    // Engineers compile on this machine while the bench runs. At this niceness the bench and
    // every relay it starts (they inherit it) win the CPU back from compilers quickly, so the
    // figures say more about the relays than about the compilers; all relays get the same.
    int nice = -10;
    // The latency runs put the bench and every relay process on this one CPU. Across two
    // CPUs a relay's latency depends on where the scheduler happens to keep it (on this VM
    // a wake-up on the other, busy CPU often waits for the next tick), which moved the
    // socat/poskavelin ratio by a factor of two from run to run; on one CPU it stays within a
    // few per cent. Negative: no pinning.
    int latencyCpu = 0;
};

void usage() {
    std::cerr << "usage: poskavelin_bench [--poskavelin PATH] [--socat PATH] [--out FILE]\n"
                 "       [--terminals 1..16] [--rounds N] [--lines N] [--slices N]\n"
                 "       [--throughput-rounds N] [--quick] [--plots DIR]\n"
                 "       [--idle-seconds S] [--refusing-seconds S] [--command TEXT] [--keep]\n"
                 "       [--skip-quiet] [--nice -20..19] [--latency-cpu N|-1] [--revision TEXT]\n";
}

Options parseOptions(int argc, char** argv) {
    Options o;
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc) {
            usage();
            std::exit(2);
        }
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--poskavelin") {
            o.poskavelin = value(i);
        } else if (arg == "--socat") {
            o.socat = value(i);
        } else if (arg == "--out") {
            o.out = value(i);
        } else if (arg == "--command") {
            o.command = value(i);
        } else if (arg == "--revision") {
            o.revision = value(i);
        } else if (arg == "--terminals") {
            o.busy = std::atoi(value(i).c_str());
        } else if (arg == "--rounds") {
            o.rounds = std::atoi(value(i).c_str());
        } else if (arg == "--quick") {
            o.quick = true;
            o.rounds = 7;
            o.lines = 2000;
            o.slices = 200;
        } else if (arg == "--plots") {
            o.plots = value(i);
        } else if (arg == "--lines") {
            o.lines = std::atoi(value(i).c_str());
        } else if (arg == "--slices") {
            o.slices = std::atoi(value(i).c_str());
        } else if (arg == "--throughput-rounds") {
            o.throughputRounds = std::atoi(value(i).c_str());
        } else if (arg == "--idle-seconds") {
            o.idleSeconds = std::atof(value(i).c_str());
        } else if (arg == "--refusing-seconds") {
            o.refusingSeconds = std::atof(value(i).c_str());
        } else if (arg == "--keep") {
            o.keep = true;
        } else if (arg == "--skip-quiet") {
            o.skipQuiet = true;
        } else if (arg == "--latency-cpu") {
            o.latencyCpu = std::atoi(value(i).c_str());
        } else if (arg == "--nice") {
            o.nice = std::atoi(value(i).c_str());
        } else {
            usage();
            std::exit(2);
        }
    }
    if (o.busy < 1 || o.busy > kChannels || o.latencyCpu >= int(::sysconf(_SC_NPROCESSORS_ONLN)) ||
        o.nice < -20 || o.nice > 19 || o.rounds < 5 || o.rounds > 99 || o.lines < 100 ||
        o.lines > 100000 || o.slices < 10 || o.slices > 10000 || o.throughputRounds < 1 ||
        o.throughputRounds > 20 || o.idleSeconds < 1 || o.idleSeconds > 120 ||
        o.refusingSeconds < 1 || o.refusingSeconds > 120) {
        usage();
        std::exit(2);
    }
    return o;
}

// The last resort against a hang: the relays die with us (PR_SET_PDEATHSIG).
extern "C" void onFatalSignal(int) {
    const char text[] = "poskavelin_bench: stopped by a signal or the time limit\n";
    [[maybe_unused]] const ssize_t ignored = ::write(2, text, sizeof text - 1);
    ::_exit(3);
}

std::vector<std::string> environmentWithout(const std::vector<std::string>& names) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            env.push_back(entry);
        }
    }
    return env;
}

std::string iniText(const Relay& relay) {
    std::string ini = "[Setup]\r\nHide=1\r\nAutoRun=1\r\nEnableSchedule=0\r\nEnablePrinter=0\r\n";
    for (int n = 1; n <= kChannels; ++n) {
        const Channel& c = relay.channels[size_t(n - 1)];
        ini += "\r\n[Connection " + std::to_string(n) +
               "]\r\nIP=127.0.0.1\r\nDVR_PORT=" + std::to_string(c.dvrPort) +
               "\r\nPOS_PORT=" + std::to_string(c.relayPort) + "\r\nENABLE=1\r\n";
    }
    return ini;
}

// Each row shapes its text with every option there is, as a shop with ESC/POS terminals
// would set it.
std::string shapedIniText(const Relay& relay) {
    std::string ini = iniText(relay);
    const std::string keys =
        "LINES=1\r\nFILTER=escpos\r\nCODEPAGE=cp858\r\nDVR_CODEPAGE=utf-8\r\nMASK=pan\r\n";
    for (size_t at = ini.find("ENABLE=1\r\n"); at != std::string::npos;
         at = ini.find("ENABLE=1\r\n", at + 1)) {
        ini.insert(at, keys);
        at += keys.size();
    }
    return ini;
}

// Receipt lines that a bridge with every shaping option on forwards byte for byte: ASCII,
// no padding, digit runs of every length, one card number (its masked digits keep the
// length).
std::string receiptLines() {
    std::string text;
    for (const char* line :
         {"Bahnhofstrasse 1, 8001 Zuerich", "Croissant 2 x 2.50       CHF 5.00",
          "Cafe creme                CHF 4.80", "Apfelstrudel mit Sahne    CHF 6.20",
          "TOTAL                     CHF 16.00", "Visa 4111 1111 1111 1111",
          "Beleg-Nr. 2024031514223301 Kasse 3", "15.03.2024 14:22  Tel. +41 44 123 45 67"}) {
        text += std::string(line) + "\r\n";
    }
    return text;
}

std::string tail(const std::string& path, size_t bytes) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

void openDvrs(Relay& relay) {
    for (Channel& c : relay.channels) {
        c.dvrListener = listenLoopback(c.dvrPort);
    }
}

// Runs one measurement for every relay, each round in a rotated order, so that a burst of
// other work on the machine does not land on one relay only.
// Puts the bench, every relay process and every fork of one on `cpu` (all CPUs when negative).
bool pinEverything(const std::vector<Relay*>& relays, const std::vector<PrinterPath*>& paths,
                   int cpu) {
    std::vector<pid_t> roots;
    for (const Relay* r : relays) {
        roots.insert(roots.end(), r->processes.begin(), r->processes.end());
    }
    for (const PrinterPath* p : paths) {
        roots.insert(roots.end(), p->processes.begin(), p->processes.end());
    }
    bool ok = setAffinity(0, cpu);
    for (pid_t pid : roots) {
        ok = setAffinity(pid, cpu) && ok;
        for (pid_t child : childrenOf(pid)) {
            ok = setAffinity(child, cpu) && ok;
        }
    }
    return ok;
}

template <typename Measure>
void interleaved(std::vector<Relay*>& relays, int round, Measure measure) {
    for (size_t k = 0; k < relays.size(); ++k) {
        measure(*relays[(k + size_t(round)) % relays.size()]);
    }
}

struct Work {
    SystemCpu system;
    double bench = 0;
    double relays = 0;
};
Work sampleWork(const std::vector<Relay*>& relays, const std::vector<PrinterPath*>& paths = {}) {
    Work w;
    w.system = readSystemCpu();
    w.bench = readProc(::getpid()).ownCpuSeconds;
    for (const Relay* r : relays) {
        if (r->hasProcess()) {
            w.relays += sampleGroup(r->processes).cpuSeconds;
        }
    }
    for (const PrinterPath* p : paths) {
        w.relays += sampleGroup(p->processes).cpuSeconds;
    }
    return w;
}
// Cores' worth of CPU that processes other than the bench and its relays used.
double othersCores(const Work& from, const Work& to, double seconds) {
    const double all = to.system.processes - from.system.processes;
    const double ours = (to.bench - from.bench) + (to.relays - from.relays);
    return std::max(0.0, all - ours) / seconds;
}

// Both relays sit in the same window, so noise on the machine hits them alike.
void measureQuiet(std::vector<Relay*> relays, double seconds, bool refusing, Noise& noise) {
    std::vector<GroupSample> before;
    for (Relay* r : relays) {
        before.push_back(sampleGroup(r->processes));
    }
    const Work w0 = sampleWork(relays);
    const auto start = Clock::now();
    const auto end = after(start, seconds);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (Relay* r : relays) {
            for (pid_t pid : r->processes) {
                if (!childRunning(pid)) {
                    fail(r->name + ": a relay process ended during the quiet phase");
                }
            }
        }
    }
    const double elapsed = secondsSince(start);
    const Work w1 = sampleWork(relays);
    for (size_t k = 0; k < relays.size(); ++k) {
        const GroupSample after = sampleGroup(relays[k]->processes);
        const double percent = (after.cpuSeconds - before[k].cpuSeconds) / elapsed * 100;
        relays[k]->notePeak(after);
        if (refusing) {
            relays[k]->cpuRefusing = percent;
            relays[k]->atRefusing = after;
        } else {
            relays[k]->cpuIdle = percent;
            relays[k]->atIdle = after;
        }
    }
    (refusing ? noise.othersRefusing : noise.othersIdle) = othersCores(w0, w1, elapsed);
}

void closeAll(Relay& relay) {
    for (Channel& c : relay.channels) {
        c.terminal.reset();
        c.dvr.reset();
        c.dvrListener.reset();
    }
}

int run(const Options& o) {
    Report report;
    report.command = o.command.empty() ? "poskavelin_bench" : o.command;
    report.quick = o.quick;
    report.rounds = o.rounds;
    report.linesPerRound = o.lines;
    report.plots = o.plots;
    report.busy = o.busy;
    report.revision = o.revision;
    report.started = utcNow();
    report.cpus = int(::sysconf(_SC_NPROCESSORS_ONLN));
    errno = 0;
    if (::setpriority(PRIO_PROCESS, 0, o.nice) != 0) {
        report.notes.push_back(std::string("Niceness could not be set (") + std::strerror(errno) +
                               ").");
    }
    errno = 0;
    report.nice = ::getpriority(PRIO_PROCESS, 0);
    report.noise.loadBefore = loadAverage();
    report.cpuModel = cpuModel();
    report.kernel = kernelRelease();
    report.socatVersion = commandOutput("'" + o.socat + "' -V 2>/dev/null | sed -n 2p");
    report.qtVersion = commandOutput(
        "dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || dpkg-query -W "
        "-f='${Version}' libqt6core6t64 2>/dev/null");

    Relay bridge("poskavelin", "\r\n");
    Relay socat("socat", "");
    Relay direct("direct", "");
    std::vector<Relay*> all{&bridge, &socat, &direct};
    std::vector<Relay*> processes{&bridge, &socat};

    const std::vector<uint16_t> ports = pickFreePorts(5 * kChannels);
    for (int n = 0; n < kChannels; ++n) {
        const size_t k = size_t(n);
        bridge.channels[k].dvrPort = ports[k];
        bridge.channels[k].relayPort = ports[kChannels + k];
        socat.channels[k].dvrPort = ports[2 * kChannels + k];
        socat.channels[k].relayPort = ports[3 * kChannels + k];
        direct.channels[k].dvrPort = ports[4 * kChannels + k];
        direct.channels[k].relayPort = ports[4 * kChannels + k];
    }
    for (Relay* r : all) {
        openDvrs(*r);
    }

    // The bridge from a fresh folder, its settings file beside it.
    char pattern[] = "/tmp/poskavelin-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        failErrno("mkdtemp");
    }
    const fs::path folder = pattern;
    const fs::path program = folder / "poskavelin";
    const fs::path log = folder / "poskavelin.log";
    fs::copy_file(o.poskavelin, program);
    {
        std::ofstream ini(folder / "PosKavelin.ini", std::ios::binary);
        ini << iniText(bridge);
    }
    // As a service runs it: no display, so the bridge picks the offscreen platform itself.
    const auto bridgeEnv = environmentWithout({"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
    const auto bridgeStart = Clock::now();
    bridge.processes.push_back(spawn({program.string()}, folder.string(), bridgeEnv, log));
    try {
        bridge.startupMs = bringUp(bridge, bridgeStart, 20);
        probeChannels(bridge);
    } catch (const BenchError&) {
        std::cerr << "poskavelin log:\n" << tail(log, 2000) << "\n";
        throw;
    }
    std::cerr << "poskavelin (pid " << bridge.processes.front()
              << "): 16 POS ports listening after " << *bridge.startupMs << " ms\n";

    // The same program once more, every row shaping, for its throughput alone.
    Relay shaped("poskavelin, all shaping on", "");
    shaped.lines = receiptLines();
    const std::vector<uint16_t> shapedPorts = pickFreePorts(2 * kChannels);
    for (size_t k = 0; k < size_t(kChannels); ++k) {
        shaped.channels[k].dvrPort = shapedPorts[k];
        shaped.channels[k].relayPort = shapedPorts[size_t(kChannels) + k];
    }
    openDvrs(shaped);
    const fs::path shapedFolder = folder / "shaped";
    fs::create_directory(shapedFolder);
    fs::copy_file(o.poskavelin, shapedFolder / "poskavelin");
    {
        std::ofstream ini(shapedFolder / "PosKavelin.ini", std::ios::binary);
        ini << shapedIniText(shaped);
    }
    shaped.processes.push_back(spawn({(shapedFolder / "poskavelin").string()},
                                     shapedFolder.string(), bridgeEnv, shapedFolder / "log"));
    bringUp(shaped, Clock::now(), 20);
    probeChannels(shaped);

    const auto socatEnv = environmentWithout({});
    const auto socatStart = Clock::now();
    for (const Channel& c : socat.channels) {
        socat.processes.push_back(
            spawn({o.socat, "TCP-LISTEN:" + std::to_string(c.relayPort) + ",reuseaddr,fork",
                   "TCP:127.0.0.1:" + std::to_string(c.dvrPort)},
                  folder.string(), socatEnv, folder / "socat.log"));
    }
    socat.startupMs = bringUp(socat, socatStart, 20);
    probeChannels(socat);
    std::cerr << "socat: 16 ports listening after " << *socat.startupMs << " ms\n";

    bringUp(direct, Clock::now(), 5);
    probeChannels(direct);

    // ---- the till-to-printer path, 1 channel, beside the others until the load is over
    PrinterPaths printer;
    const std::vector<PrinterPath*> paths = printer.all();
    const std::vector<std::pair<PrinterPath*, Relay*>> printerResults{
        {&printer.bridge, &bridge}, {&printer.socat, &socat}, {&printer.direct, &direct}};
    const fs::path printerFolder = folder / "printer";
    try {
        startPrinterPaths(printer, o.poskavelin, o.socat, printerFolder.string(), bridgeEnv,
                          socatEnv);
    } catch (const BenchError&) {
        std::cerr << "poskavelin (printer path) log:\n"
                  << tail(printerFolder / "log", 2000) << "\n";
        throw;
    }
    for (Relay* r : processes) {
        r->notePeak(sampleGroup(r->processes));
    }

    // ---- latency and throughput, every relay in turn, round after round
    const Work loadStart = sampleWork(all, paths);
    const auto loadClock = Clock::now();
    for (Relay* r : all) {
        std::vector<double> warmup;
        measureLatency(*r, o.busy, 50, 1, warmup);
    }
    for (PrinterPath* p : paths) {
        PrinterSamples warmup;
        measurePrinterPath(*p, 50, 1, warmup);
    }
    if (o.latencyCpu >= 0) {
        if (pinEverything(all, paths, o.latencyCpu)) {
            report.latencyPinning =
                "bench and every relay process on CPU " + std::to_string(o.latencyCpu) + " only";
        } else {
            pinEverything(all, paths, -1);
            report.notes.push_back("The latency runs could not be pinned to one CPU.");
        }
    }
    std::cerr << "latency, 1 channel busy: " << o.rounds << " rounds of " << o.lines
              << " lines per relay\n";
    const auto oneLimit = after(Clock::now(), kLatencyRunLimitSeconds);
    for (int round = 0; round < o.rounds && Clock::now() < oneLimit; ++round) {
        for (Relay* r : all) {
            std::vector<double> samples;
            measureLatency(*r, 1, size_t(o.lines), kLatencyRunLimitSeconds / o.rounds / 3, samples);
            r->latencyOne.insert(r->latencyOne.end(), samples.begin(), samples.end());
            r->latencyOneRounds.push_back(std::move(samples));
        }
    }
    // Each step is a line and a status request, so half as many steps take about as long.
    const size_t printerLines = size_t(o.lines) / 2;
    report.printerLinesPerRound = int(printerLines);
    std::cerr << "latency, till to printer: " << o.rounds << " rounds of " << printerLines
              << " lines and status requests per path\n";
    const auto printerLimit = after(Clock::now(), kLatencyRunLimitSeconds);
    for (int round = 0; round < o.rounds && Clock::now() < printerLimit; ++round) {
        for (const auto& [path, relay] : printerResults) {
            PrinterSamples samples;
            measurePrinterPath(*path, printerLines, kLatencyRunLimitSeconds / o.rounds / 3,
                               samples);
            relay->printerRounds.push_back(std::move(samples.oneWay));
            relay->printerTripRounds.push_back(std::move(samples.roundTrip));
        }
    }
    std::cerr << "latency, " << o.busy << " channels busy: " << o.slices << " slices per relay\n";
    const auto busyLimit = after(Clock::now(), kLatencyRunLimitSeconds);
    for (int slice = 0; slice < o.slices && Clock::now() < busyLimit; ++slice) {
        interleaved(all, slice, [&o](Relay& r) {
            measureLatency(r, o.busy, kBusySliceLines, 1.0, r.latencyBusy);
        });
    }
    pinEverything(all, paths, -1);
    report.noise.othersLatency =
        othersCores(loadStart, sampleWork(all, paths), secondsSince(loadClock));
    for (int round = 0; round < (o.quick ? 0 : o.throughputRounds); ++round) {
        std::cerr << "throughput round " << round + 1 << " of " << o.throughputRounds << "\n";
        interleaved(all, round, [](Relay& r) {
            r.throughputOne.push_back(
                measureThroughput(r, 1, kThroughputWarmup, kThroughputOneWindow).totalMBs);
        });
        bridge.throughputShapedOne.push_back(
            measureThroughput(shaped, 1, kThroughputWarmup, kThroughputOneWindow).totalMBs);
        interleaved(all, round, [&o](Relay& r) {
            const ThroughputRound t =
                measureThroughput(r, o.busy, kThroughputWarmup, kThroughputBusyWindow);
            r.throughputBusy.push_back(t.totalMBs);
            r.throughputBusySlowest.push_back(t.slowestMBs);
        });
    }
    if (o.quick) {
        // One round of the shaped channel alone, so that a change to the shaping shows in a
        // quick run too.
        std::cerr << "throughput, 1 channel, all shaping on\n";
        bridge.throughputShapedOne.push_back(
            measureThroughput(shaped, 1, kThroughputWarmup, kThroughputOneWindow).totalMBs);
    }
    report.noise.othersLoad =
        othersCores(loadStart, sampleWork(all, paths), secondsSince(loadClock));
    for (Relay* r : processes) {
        r->notePeak(sampleGroup(r->processes));
    }
    // Quick check that the links still carry after the load.
    for (Relay* r : all) {
        probeChannels(*r);
    }
    for (PrinterPath* p : paths) {
        probePrinterPath(*p);
    }
    // Out of the way of the quiet windows, which measure the 16-channel relays alone.
    stopPrinterPaths(printer);

    if (!o.skipQuiet && !o.quick) {
        // ---- idle: every link up, nothing to carry
        std::cerr << "idle for " << o.idleSeconds << " s\n";
        measureQuiet(processes, o.idleSeconds, false, report.noise);

        // ---- refusing: every DVR gone. The bridge keeps retrying each link; a socat relay only
        // tries its DVR when a terminal connects, so it just listens.
        closeAll(bridge);
        closeAll(socat);
        closeAll(direct);
        // socat's forks end with their terminals; the bridge needs one failed attempt per link
        // to reach its retry rhythm. At least 1.5 s, at most 3 s.
        const auto settleStart = Clock::now();
        while (secondsSince(settleStart) < 3.0) {
            bool forksGone = true;
            for (pid_t pid : socat.processes) {
                forksGone = forksGone && childrenOf(pid).empty();
            }
            if (forksGone && secondsSince(settleStart) >= 1.5) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        // With no DVR the bridge must not take terminals either.
        for (const Channel& c : bridge.channels) {
            if (connectLoopback(c.relayPort, 200)) {
                report.notes.push_back(
                    "A POS port of the bridge accepted a terminal while its DVR "
                    "refused (port " +
                    std::to_string(c.relayPort) + ").");
                break;
            }
        }
        std::cerr << "refusing for " << o.refusingSeconds << " s\n";
        measureQuiet(processes, o.refusingSeconds, true, report.noise);

        // The DVRs come back: the bridge should find each within about one retry interval.
        openDvrs(bridge);
        const auto back = Clock::now();
        size_t relinked = 0;
        const auto relinkDeadline = after(back, 5);
        while (relinked < bridge.channels.size() && Clock::now() < relinkDeadline) {
            for (Channel& c : bridge.channels) {
                if (!c.dvr) {
                    if (Fd link = acceptPending(c.dvrListener.get())) {
                        c.dvr = std::move(link);
                        ++relinked;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        report.relinkMs = secondsSince(back) * 1000;
        report.relinked = relinked;
    }
    report.noise.loadAfter = loadAverage();
    for (Relay* r : {&bridge, &socat, &shaped}) {
        for (pid_t pid : r->processes) {
            stopChild(pid, 2000);
        }
    }
    closeAll(bridge);
    closeAll(shaped);
    if (!o.keep) {
        fs::remove_all(folder);
    }
    report.finished = utcNow();
    if (!o.plots.empty()) {
        writePlotData(all, o.plots);
    }
    writeReport(report, all, o.out);
    std::cerr << "wrote " << o.out << "\n";
    return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    const bench::Options options = bench::parseOptions(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGINT, bench::onFatalSignal);
    ::signal(SIGTERM, bench::onFatalSignal);
    ::signal(SIGALRM, bench::onFatalSignal);
    // Well above a normal run (about two and a half minutes) but bounded.
    ::alarm(unsigned(175 + options.idleSeconds + options.refusingSeconds));
    try {
        return bench::run(options);
    } catch (const std::exception& e) {
        std::cerr << "poskavelin_bench: " << e.what() << "\n";
        return 1;
    }
}
