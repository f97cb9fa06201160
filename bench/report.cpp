#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <sstream>

namespace bench {

namespace {

using Value = std::optional<double>;

Value percentile(std::vector<double> samples, double p) {
    if (samples.empty()) {
        return std::nullopt;
    }
    std::sort(samples.begin(), samples.end());
    const size_t rank = size_t(std::ceil(p * double(samples.size())));
    return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1];
}

Value mean(const std::vector<double>& values) {
    if (values.empty()) {
        return std::nullopt;
    }
    return std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
}

Value mib(const std::optional<GroupSample>& sample, bool hwm) {
    if (!sample) {
        return std::nullopt;
    }
    return double(hwm ? sample->hwmKiB : sample->rssKiB) / 1024;
}

std::string number(Value v, int decimals) {
    if (!v) {
        return "—";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, *v);
    return text;
}

Value ratio(Value ours, Value theirs) {
    if (!ours || !theirs || *theirs <= 0) {
        return std::nullopt;
    }
    return *ours / *theirs;
}

struct Row {
    std::string label;
    std::function<Value(const Relay&)> value;
    int decimals;
    bool withRatio = true;
    // Latency rows also show poskavelin's own cost above the direct path.
    bool withOwnCost = false;
    // The ratio, when it is not the plain quotient of the two figures.
    std::function<Value()> ratio = nullptr;
    // poskavelin − direct, when it is not the plain difference of the two figures.
    std::function<Value()> ownCost = nullptr;
};

Value median(std::vector<double> values) {
    if (values.empty()) {
        return std::nullopt;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

using Rounds = std::vector<std::vector<double>> Relay::*;

std::vector<double> pooled(const std::vector<std::vector<double>>& rounds) {
    std::vector<double> all;
    for (const auto& round : rounds) {
        all.insert(all.end(), round.begin(), round.end());
    }
    return all;
}

// `ours` against `theirs` at percentile p, one value per round in which both measured.
std::vector<double> perRound(const Relay& ours, const Relay& theirs, double p, Rounds rounds,
                             bool ratio) {
    const auto& a = ours.*rounds;
    const auto& b = theirs.*rounds;
    std::vector<double> values;
    for (size_t k = 0; k < a.size() && k < b.size(); ++k) {
        const Value x = percentile(a[k], p);
        const Value y = percentile(b[k], p);
        if (x && y && *y > 0) {
            values.push_back(ratio ? *x / *y : *x - *y);
        }
    }
    return values;
}

std::vector<double> roundRatios(const Relay& ours, const Relay& theirs, double p,
                                Rounds rounds = &Relay::latencyOneRounds) {
    return perRound(ours, theirs, p, rounds, true);
}

Value difference(Value a, Value b) {
    if (!a || !b) {
        return std::nullopt;
    }
    return *a - *b;
}

const Relay& byName(const std::vector<Relay*>& relays, const std::string& name) {
    for (const Relay* r : relays) {
        if (r->name == name) {
            return *r;
        }
    }
    fail("no relay named " + name);
}

}  // namespace

void writePlotData(const std::vector<Relay*>& relays, const std::string& dir) {
    // A few thousand points draw the curve as well as all samples would and keep the files
    // small enough to commit beside the plots; the slowest samples are all kept, so the
    // tail is exact.
    constexpr size_t kPoints = 2000;
    constexpr size_t kTail = 100;
    std::filesystem::create_directories(dir);
    for (const Relay* r : relays) {
        for (const bool busy : {false, true}) {
            std::vector<double> samples = busy ? r->latencyBusy : r->latencyOne;
            std::sort(samples.begin(), samples.end());
            const std::string path =
                dir + "/latency-" + (busy ? "busy" : "1") + "-" + r->name + ".dat";
            std::ofstream out(path, std::ios::trunc);
            out << "# " << r->name << ": latency (microseconds) and fraction of lines at or "
                << "below it, " << samples.size() << " lines\n";
            const size_t n = samples.size();
            const size_t step = std::max<size_t>(1, n / kPoints);
            for (size_t i = 0; i < n; ++i) {
                if (i % step == 0 || i + kTail >= n) {
                    char line[64];
                    std::snprintf(line, sizeof line, "%.2f %.6f\n", samples[i],
                                  double(i + 1) / double(n));
                    out << line;
                }
            }
            if (!out) {
                fail("cannot write " + path);
            }
        }
    }
}

void writeReport(const Report& report, const std::vector<Relay*>& relays, const std::string& path) {
    const Relay& ours = byName(relays, "poskavelin");
    const Relay& socat = byName(relays, "socat");
    const Relay& direct = byName(relays, "direct");
    const std::string busy =
        std::to_string(report.busy) + (report.busy == 1 ? " channel" : " channels");
    // The printer path's ratio and added cost are medians of its rounds, as for 1 channel.
    auto printerRow = [&](const std::string& label, Rounds rounds, double p) {
        return Row{
            label,
            [rounds, p](const Relay& r) { return percentile(pooled(r.*rounds), p); },
            1,
            true,
            true,
            [&ours, &socat, rounds, p] { return median(roundRatios(ours, socat, p, rounds)); },
            [&ours, &direct, rounds, p] {
                return median(perRound(ours, direct, p, rounds, false));
            }};
    };

    const std::vector<Row> rows = {
        {"Start to all 16 POS ports listening (ms)", [](const Relay& r) { return r.startupMs; }, 1},
        {"Latency, 1 channel busy, p50 (µs) ³",
         [](const Relay& r) { return percentile(r.latencyOne, 0.50); }, 1, true, true,
         [&] { return median(roundRatios(ours, socat, 0.50)); }},
        {"Latency, 1 channel busy, p99 (µs) ³",
         [](const Relay& r) { return percentile(r.latencyOne, 0.99); }, 1, true, true,
         [&] { return median(roundRatios(ours, socat, 0.99)); }},
        {"Latency, 1 channel busy, p99.9 (µs)",
         [](const Relay& r) { return percentile(r.latencyOne, 0.999); }, 1, true, true},
        printerRow("Latency, till to printer, 1 channel, p50 (µs) ⁵", &Relay::printerRounds, 0.50),
        printerRow("Latency, till to printer, 1 channel, p99 (µs) ⁵", &Relay::printerRounds, 0.99),
        printerRow("Round trip, DLE EOT 1 to the printer's answer, p50 (µs) ⁵",
                   &Relay::printerTripRounds, 0.50),
        printerRow("Round trip, DLE EOT 1 to the printer's answer, p99 (µs) ⁵",
                   &Relay::printerTripRounds, 0.99),
        {"Latency, " + busy + " busy, p50 (µs)",
         [](const Relay& r) { return percentile(r.latencyBusy, 0.50); }, 1, true, true},
        {"Latency, " + busy + " busy, p99 (µs)",
         [](const Relay& r) { return percentile(r.latencyBusy, 0.99); }, 1, true, true},
        {"Latency, " + busy + " busy, p99.9 (µs)",
         [](const Relay& r) { return percentile(r.latencyBusy, 0.999); }, 1, true, true},
        {"Throughput, 1 channel (MB/s)", [](const Relay& r) { return mean(r.throughputOne); }, 0},
        {"Throughput, 1 channel, all shaping on (MB/s) ⁴",
         [](const Relay& r) { return mean(r.throughputShapedOne); }, 0},
        {"Throughput, " + busy + " together (MB/s)",
         [](const Relay& r) { return mean(r.throughputBusy); }, 0},
        {"Throughput, " + busy + " together, per channel (MB/s)",
         [&report](const Relay& r) {
             const Value total = mean(r.throughputBusy);
             return total ? Value(*total / report.busy) : std::nullopt;
         },
         1},
        {"Throughput, " + busy + " together, slowest channel (MB/s)",
         [](const Relay& r) { return mean(r.throughputBusySlowest); }, 1},
        {"CPU, 16 links up and idle (% of one core)", [](const Relay& r) { return r.cpuIdle; }, 3},
        {"CPU, 16 DVRs refusing (% of one core) ¹", [](const Relay& r) { return r.cpuRefusing; },
         3},
        {"VmRSS, 16 links up and idle (MiB) ²", [](const Relay& r) { return mib(r.atIdle, false); },
         1},
        {"VmRSS, 16 DVRs refusing (MiB) ²", [](const Relay& r) { return mib(r.atRefusing, false); },
         1},
        {"VmHWM, peak over the run (MiB) ²",
         [](const Relay& r) {
             return r.hasProcess() ? Value(double(r.peakHwmKiB) / 1024) : std::nullopt;
         },
         1},
        {"Processes while 16 links are up",
         [](const Relay& r) {
             return r.atIdle ? Value(double(r.atIdle->processes)) : std::nullopt;
         },
         0, false},
    };

    // The busiest window counts: a quiet latency run beside a loaded idle window is still a
    // run whose CPU figures others disturbed.
    const double others = std::max({report.noise.othersLatency, report.noise.othersLoad,
                                    report.noise.othersIdle, report.noise.othersRefusing});
    const bool loaded = others >= kLoadedCores;
    const std::vector<double> ratios50 = roundRatios(ours, socat, 0.50);
    const std::vector<double> ratios99 = roundRatios(ours, socat, 0.99);

    std::ostringstream md;
    md << "# Benchmark: poskavelin against socat and a direct connection\n\n";
    if (loaded) {
        md << "**LOADED: other processes used " << number(others, 2) << " cores (≥ "
           << number(kLoadedCores, 1)
           << ") in the busiest window of this run; figures are not the quiet-machine "
              "figures.**\n\n";
    } else {
        md << "Quiet machine: other processes used " << number(others, 2) << " cores (< "
           << number(kLoadedCores, 1) << ") in every window of this run.\n\n";
    }
    if (report.quick) {
        md << "Quick run: latency and the shaped channel's throughput only (no other "
              "throughput, idle or refusing windows).\n\n";
    }
    md << "- Machine: " << report.cpus << " CPUs (nproc), " << report.cpuModel << ", "
       << report.kernel << "\n";
    md << "- Run: " << report.started << " to " << report.finished << "\n";
    md << "- Command: `" << report.command << "`\n";
    md << "- poskavelin built from: " << report.revision << "\n";
    md << "- poskavelin ran as a service runs it, without a display: offscreen, on Qt's "
          "event loop, which watches each socket through a Qt socket notifier. With a display "
          "the same loop also reads the display's events; this bench does not measure that "
          "case\n";
    md << "- Versions: " << report.socatVersion << "; Qt " << report.qtVersion << "\n";
    md << "- CPU pinning during the latency runs: " << report.latencyPinning
       << "; none during throughput and the quiet windows\n";
    md << "- Niceness of the bench and of every relay process: " << report.nice
       << " (the same for all, so compilers elsewhere on the machine disturb the figures "
          "less)\n";
    md << "- Other work on the machine (engineers compiling elsewhere; user and system time of "
          "all processes but the bench and the relays, so not the interrupt and softirq time "
          "of the measured traffic): load average "
       << report.noise.loadBefore << " before, " << report.noise.loadAfter
       << " after; other processes used on average " << number(report.noise.othersLatency, 2)
       << " cores during the latency runs, " << number(report.noise.othersLoad, 2)
       << " during the latency and throughput runs";
    if (!report.quick) {
        md << ", " << number(report.noise.othersIdle, 2) << " during the idle window and "
           << number(report.noise.othersRefusing, 2) << " during the refusing window";
    }
    md << ".\n\n";

    md << "| Figure | poskavelin | socat | direct | poskavelin / socat | poskavelin − direct "
          "(µs) |\n";
    md << "| --- | ---: | ---: | ---: | ---: | ---: |\n";
    for (const Row& row : rows) {
        const Value a = row.value(ours);
        const Value b = row.value(socat);
        const Value c = row.value(direct);
        if (!a && !b && !c) {
            continue;  // not measured in this run (a quick one)
        }
        const Value q = row.ratio ? row.ratio() : ratio(a, b);
        md << "| " << row.label << " | " << number(a, row.decimals) << " | "
           << number(b, row.decimals) << " | " << number(c, row.decimals) << " | "
           << (row.withRatio ? number(q, 2) : "—") << " | "
           << (row.withOwnCost ? number(row.ownCost ? row.ownCost() : difference(a, c), 1) : "—")
           << " |\n";
    }
    if (!ours.printerRounds.empty()) {
        auto against = [&](const char* what, Rounds rounds, double p) {
            return std::string(what) + " " +
                   number(median(roundRatios(ours, direct, p, rounds)), 2) + "× (+" +
                   number(median(perRound(ours, direct, p, rounds, false)), 1) + " µs)";
        };
        md << "\nTill to printer through poskavelin against the till straight on the printer "
              "(medians of the per-round figures ⁵): "
           << against("p50", &Relay::printerRounds, 0.50) << ", "
           << against("p99", &Relay::printerRounds, 0.99) << "; DLE EOT 1 round trip "
           << against("p50", &Relay::printerTripRounds, 0.50) << ", "
           << against("p99", &Relay::printerTripRounds, 0.99) << ".\n";
    }

    if (!report.plots.empty()) {
        const std::string dir =
            std::filesystem::relative(report.plots, std::filesystem::path(path).parent_path())
                .string();
        md << "\n![Latency distribution, 1 channel busy](" << dir << "/latency-1.svg)\n";
        md << "![Latency distribution, " << busy << " busy](" << dir << "/latency-busy.svg)\n";
    }

    md << "\n## Latency with 1 channel busy, round by round\n\n";
    md << "Each round carried " << report.linesPerRound
       << " lines through poskavelin, then socat, then direct. The ratios in the table above "
          "are the medians of these.\n\n";
    md << "| Round | poskavelin p50 | socat p50 | direct p50 | p50 ratio | poskavelin p99 | socat "
          "p99 | p99 ratio |\n";
    md << "| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n";
    for (size_t k = 0; k < ours.latencyOneRounds.size() && k < socat.latencyOneRounds.size() &&
                       k < direct.latencyOneRounds.size();
         ++k) {
        const auto& a = ours.latencyOneRounds[k];
        const auto& b = socat.latencyOneRounds[k];
        const auto& c = direct.latencyOneRounds[k];
        md << "| " << k + 1 << " | " << number(percentile(a, 0.5), 1) << " | "
           << number(percentile(b, 0.5), 1) << " | " << number(percentile(c, 0.5), 1) << " | "
           << number(ratio(percentile(a, 0.5), percentile(b, 0.5)), 2) << " | "
           << number(percentile(a, 0.99), 1) << " | " << number(percentile(b, 0.99), 1) << " | "
           << number(ratio(percentile(a, 0.99), percentile(b, 0.99)), 2) << " |\n";
    }

    if (!ours.printerRounds.empty()) {
        md << "\n## Till to printer, round by round\n\n";
        md << "Each round carried " << report.printerLinesPerRound
           << " receipt lines, each followed by DLE EOT 1, through poskavelin, then socat, then "
              "direct. The printer-path figures in the table above are the medians of these.\n\n";
        md << "| Round | poskavelin p50 | socat p50 | direct p50 | poskavelin / direct p50 | "
              "poskavelin p99 | direct p99 | poskavelin / direct p99 | round trip p50, "
              "poskavelin | round trip p50, direct | round trip ratio |\n";
        md << "| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n";
        for (size_t k = 0; k < ours.printerRounds.size() && k < socat.printerRounds.size() &&
                           k < direct.printerRounds.size();
             ++k) {
            const auto& a = ours.printerRounds[k];
            const auto& c = direct.printerRounds[k];
            const auto& ta = ours.printerTripRounds[k];
            const auto& tc = direct.printerTripRounds[k];
            md << "| " << k + 1 << " | " << number(percentile(a, 0.5), 1) << " | "
               << number(percentile(socat.printerRounds[k], 0.5), 1) << " | "
               << number(percentile(c, 0.5), 1) << " | "
               << number(ratio(percentile(a, 0.5), percentile(c, 0.5)), 2) << " | "
               << number(percentile(a, 0.99), 1) << " | " << number(percentile(c, 0.99), 1) << " | "
               << number(ratio(percentile(a, 0.99), percentile(c, 0.99)), 2) << " | "
               << number(percentile(ta, 0.5), 1) << " | " << number(percentile(tc, 0.5), 1) << " | "
               << number(ratio(percentile(ta, 0.5), percentile(tc, 0.5)), 2) << " |\n";
        }
    }

    struct Target {
        std::string what;
        Value value;
        std::string goal;
        bool met;
    };
    auto lat = [](const Relay& r, bool many, double p) {
        return percentile(many ? r.latencyBusy : r.latencyOne, p);
    };
    auto busyRatio = [&](double p, double goal) {
        const Value v = ratio(lat(ours, true, p), lat(socat, true, p));
        return Target{std::string("Latency ") + (p < 0.9 ? "p50" : "p99") + ", " + busy +
                          " busy: poskavelin / socat",
                      v, "≤ " + number(goal, 2), v && *v <= goal};
    };
    const Value one50 = median(ratios50);
    const Value one99 = median(ratios99);
    const Value tputOne = ratio(mean(ours.throughputOne), mean(socat.throughputOne));
    const Value tput = ratio(mean(ours.throughputBusy), mean(socat.throughputBusy));
    const Value peak = ours.hasProcess() ? Value(double(ours.peakHwmKiB) / 1024) : std::nullopt;
    const std::vector<Target> targets = {
        {"Latency p50, 1 channel busy: poskavelin / socat, median of rounds", one50, "≤ 0.90",
         one50 && *one50 <= 0.9},
        {"Latency p99, 1 channel busy: poskavelin / socat, median of rounds", one99, "≤ 1.00",
         one99 && *one99 <= 1.0},
        busyRatio(0.50, 0.7),
        busyRatio(0.99, 1.0),
        {"Throughput, 1 channel: poskavelin / socat", tputOne, "≥ 1.00",
         tputOne && *tputOne >= 1.0},
        {"Throughput, " + busy + " together: poskavelin / socat", tput, "≥ 1.00",
         tput && *tput >= 1.0},
        {"CPU, 16 links up and idle (% of one core)", ours.cpuIdle, "0",
         ours.cpuIdle && *ours.cpuIdle <= 0},
        {"CPU, 16 DVRs refusing (% of one core)", ours.cpuRefusing, "< 0.5",
         ours.cpuRefusing && *ours.cpuRefusing < 0.5},
        {"Resident memory, peak VmHWM (MiB)", peak, "< 80", peak && *peak < 80},
    };
    md << "\n## Targets\n\n";
    if (loaded) {
        md << "The targets are set for a quiet machine; this run was LOADED, so a miss here "
              "is not a verdict.\n\n";
    }
    md << "| Target | poskavelin | goal | met |\n| --- | ---: | ---: | --- |\n";
    for (const Target& t : targets) {
        md << "| " << t.what << " | "
           << number(t.value, t.what.find("CPU") != std::string::npos ? 3 : 2) << " | " << t.goal
           << " | "
           << (!t.value ? "not measured"
               : t.met  ? "yes"
                        : "**no**")
           << " |\n";
    }

    md << "\n## How it was measured\n\n";
    md << "- Every relay ran at the same time on 127.0.0.1; the bench played all terminals "
          "and DVRs from one thread (epoll). With 1 channel busy the relays took turns round "
          "by round (poskavelin, socat, direct, poskavelin, socat, direct, ...; "
       << report.rounds
       << " rounds), and a ratio is the median of the per-round ratios, so a burst of other "
          "work spoils one round and not the figure. With all busy they took turns in slices "
          "of 4 lines per channel, in a rotated order, and window by window for throughput; "
          "the idle and refusing windows measured both relays in the same window.\n";
    md << "- Latency: " << ours.latencyOne.size() << " / " << socat.latencyOne.size() << " / "
       << direct.latencyOne.size() << " lines with 1 channel busy and " << ours.latencyBusy.size()
       << " / " << socat.latencyBusy.size() << " / " << direct.latencyBusy.size() << " with "
       << busy
       << " busy (poskavelin / socat / direct), each a 40-byte receipt line timed from "
          "just before the terminal's send to the read that completed it at the DVR. Each "
          "channel sends its next line only after the last one arrived, so every line is one "
          "arrival. A line is complete at 42 bytes for poskavelin (it appends CR LF) and 40 for "
          "socat and direct, and its content is checked.\n";
    md << "- Throughput: 64 KiB writes on every busy terminal as fast as the path takes them, "
          "rate at the DVRs over 0.5 s (1 channel) or 1 s (all busy) after 0.2 s of warm-up, "
          "mean of "
       << ours.throughputOne.size()
       << " rounds; payload bytes only (the CR LF that poskavelin adds per arrival is "
          "not counted); every byte sent is checked to arrive. MB = 10^6 bytes.\n";
    md << "- CPU: utime + stime from /proc/<pid>/stat over the window (for socat also its "
          "forks, and cutime + cstime of ended ones); memory: VmRSS and VmHWM from "
          "/proc/<pid>/status. Clock ticks are 10 ms, so the CPU figures resolve about 0.03 % "
          "of a core over 30 s.\n";
    md << "- Start-up: from just before the process start to the last of the 16 POS ports "
          "accepting a connection (polled every 2 ms); for poskavelin this includes its 16 DVR "
          "links coming up, since a POS port only listens once its DVR link is up.\n";
    md << "- ¹ Refusing: all 16 DVR listeners and links closed. poskavelin keeps retrying every "
          "DVR link (one attempt per second per channel). A socat relay only connects to its "
          "DVR when a terminal connects, so its figure is 16 listeners with no DVR and no "
          "terminal: it is not the same work and the ratio only says what each costs in that "
          "state. After the window the 16 DVRs listened again and poskavelin had "
       << report.relinked << " of 16 links back after " << number(report.relinkMs, 0) << " ms.\n";
    md << "- ² socat's memory is the sum over its processes (16 listeners plus one fork per "
          "connected terminal), so shared library pages are counted once per process.\n";
    md << "- direct has no relay process: CPU and memory do not apply. poskavelin − direct is "
          "what the bridge adds on top of the physical floor (one loopback hop), at the same "
          "percentile.\n";
    md << "- ³ The ratio is the median of the per-round ratios listed above, not the quotient "
          "of the pooled figures beside it.\n";
    md << "- ⁴ A second poskavelin with every row set to LINES=1, FILTER=escpos, "
          "CODEPAGE=cp858, DVR_CODEPAGE=utf-8 and MASK=pan, fed 40-column ASCII receipt lines "
          "with a card number, which it forwards a line at a time with their lengths "
          "unchanged. socat cannot shape; its column stays empty.\n";
    md << "- ⁵ Till to printer: a third poskavelin with one row, RECEIPT_PRINTER set to a "
          "printer that the bench plays (a listener that answers nothing but DLE EOT 1) and "
          "its DVR link up; beside it one socat relay to a printer of its own (with nodelay on "
          "both sides: without it Nagle's algorithm holds its one-byte answers for the till's "
          "delayed ACK, about 40 ms), and a till "
          "connected straight to a third (direct). One till per path, connected once; the "
          "relay opened its printer connection when the till connected. Closed loop: a "
          "40-byte receipt line, timed from just before the till's send to the read that "
          "completed it at the printer; then DLE EOT 1 (0x10 0x04 0x01), to which the printer "
          "answers 0x12 as soon as it has all three bytes, timed until the answer is back at "
          "the till. Every byte is checked at the printer, at the till and, for poskavelin, "
          "its DVR copy (the same bytes with CR LF) before the next step; the bench reads the "
          "printer first when both are ready. The paths took turns round by round (poskavelin, "
          "socat, direct) under the same pinning as the 1-channel rows, and both the ratio "
          "to socat and poskavelin − direct are the medians of the per-round figures.\n";
    if (!report.plots.empty()) {
        md << "- The plots are drawn by gnuplot from this run's samples (" << report.plots
           << "/latency-*.dat, not kept in git; at most 2000 points per curve with the slowest "
              "100 lines all kept); bench/plots/latency.gp draws them.\n";
    }
    for (const std::string& note : report.notes) {
        md << "- " << note << "\n";
    }

    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << md.str();
        if (!out) {
            fail("cannot write " + temporary);
        }
    }
    std::filesystem::rename(temporary, path);
}

}  // namespace bench
