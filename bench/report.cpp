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
};

const Relay& byName(const std::vector<Relay*>& relays, const std::string& name) {
    for (const Relay* r : relays) {
        if (r->name == name) {
            return *r;
        }
    }
    fail("no relay named " + name);
}

}  // namespace

void writeReport(const Report& report, const std::vector<Relay*>& relays, const std::string& path) {
    const Relay& ours = byName(relays, "poskavelin");
    const Relay& socat = byName(relays, "socat");
    const Relay& direct = byName(relays, "direct");
    const std::string busy =
        std::to_string(report.busy) + (report.busy == 1 ? " channel" : " channels");

    const std::vector<Row> rows = {
        {"Start to all 16 POS ports listening (ms)", [](const Relay& r) { return r.startupMs; }, 1},
        {"Latency, 1 channel busy, p50 (µs)",
         [](const Relay& r) { return percentile(r.latencyOne, 0.50); }, 1},
        {"Latency, 1 channel busy, p99 (µs)",
         [](const Relay& r) { return percentile(r.latencyOne, 0.99); }, 1},
        {"Latency, 1 channel busy, p99.9 (µs)",
         [](const Relay& r) { return percentile(r.latencyOne, 0.999); }, 1},
        {"Latency, " + busy + " busy, p50 (µs)",
         [](const Relay& r) { return percentile(r.latencyBusy, 0.50); }, 1},
        {"Latency, " + busy + " busy, p99 (µs)",
         [](const Relay& r) { return percentile(r.latencyBusy, 0.99); }, 1},
        {"Latency, " + busy + " busy, p99.9 (µs)",
         [](const Relay& r) { return percentile(r.latencyBusy, 0.999); }, 1},
        {"Throughput, 1 channel (MB/s)", [](const Relay& r) { return mean(r.throughputOne); }, 0},
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

    std::ostringstream md;
    md << "# Benchmark: poskavelin against socat and a direct connection\n\n";
    md << "- Machine: " << report.cpus << " CPUs (nproc), " << report.cpuModel << ", "
       << report.kernel << "\n";
    md << "- Run: " << report.started << " to " << report.finished << "\n";
    md << "- Command: `" << report.command << "`\n";
    md << "- poskavelin built from: " << report.revision << "\n";
    md << "- Versions: " << report.socatVersion << "; Qt " << report.qtVersion << "\n";
    md << "- CPU pinning during the latency runs: " << report.latencyPinning
       << "; none during throughput and the quiet windows\n";
    md << "- Niceness of the bench and of every relay process: " << report.nice
       << " (the same for all, so compilers elsewhere on the machine disturb the figures "
          "less)\n";
    md << "- Other work on the machine (engineers compiling elsewhere): load average "
       << report.noise.loadBefore << " before, " << report.noise.loadAfter
       << " after; other processes used on average " << number(report.noise.othersLoad, 2)
       << " cores during the latency and throughput runs, " << number(report.noise.othersIdle, 2)
       << " during the idle window and " << number(report.noise.othersRefusing, 2)
       << " during the refusing window.\n\n";

    md << "| Figure | poskavelin | socat | direct | poskavelin / socat |\n";
    md << "| --- | ---: | ---: | ---: | ---: |\n";
    for (const Row& row : rows) {
        const Value a = row.value(ours);
        const Value b = row.value(socat);
        const Value c = row.value(direct);
        md << "| " << row.label << " | " << number(a, row.decimals) << " | "
           << number(b, row.decimals) << " | " << number(c, row.decimals) << " | "
           << (row.withRatio ? number(ratio(a, b), 2) : "—") << " |\n";
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
    auto notWorse = [&](bool many, double p) {
        const Value v = ratio(lat(ours, many, p), lat(socat, many, p));
        return Target{std::string("Latency ") + (p < 0.9 ? "p50" : "p99") + ", " +
                          (many ? busy : std::string("1 channel")) + " busy: poskavelin / socat",
                      v, "≤ 1.00", v && *v <= 1.0};
    };
    const Value tput = ratio(mean(ours.throughputBusy), mean(socat.throughputBusy));
    const Value peak = ours.hasProcess() ? Value(double(ours.peakHwmKiB) / 1024) : std::nullopt;
    const std::vector<Target> targets = {
        notWorse(false, 0.50),
        notWorse(false, 0.99),
        notWorse(true, 0.50),
        notWorse(true, 0.99),
        {"Throughput, " + busy + " together: poskavelin / socat", tput, "≥ 0.80",
         tput && *tput >= 0.8},
        {"CPU, 16 links up and idle (% of one core)", ours.cpuIdle, "< 0.5",
         ours.cpuIdle && *ours.cpuIdle < 0.5},
        {"CPU, 16 DVRs refusing (% of one core)", ours.cpuRefusing, "< 2",
         ours.cpuRefusing && *ours.cpuRefusing < 2},
        {"Resident memory, peak VmHWM (MiB)", peak, "< 80", peak && *peak < 80},
    };
    md << "\n## Targets\n\n| Target | poskavelin | goal | met |\n| --- | ---: | ---: | --- |\n";
    for (const Target& t : targets) {
        md << "| " << t.what << " | "
           << number(t.value, t.what.find("CPU") != std::string::npos ? 3 : 2) << " | " << t.goal
           << " | " << (t.met ? "yes" : "**no**") << " |\n";
    }

    md << "\n## How it was measured\n\n";
    md << "- Every relay ran at the same time on 127.0.0.1; the bench played all terminals "
          "and DVRs from one thread (epoll). The relays took turns, in a rotated order: line "
          "by line with 1 channel busy, in slices of 4 lines per channel with all busy, and "
          "window by window for throughput, so bursts of other work fall on all of them alike; "
          "and the idle and refusing windows "
          "measured both relays "
          "in the same window.\n";
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
    md << "- direct has no relay process: CPU and memory do not apply.\n";
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
