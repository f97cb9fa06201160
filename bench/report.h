#pragma once

#include <string>
#include <vector>

#include "relay.h"

namespace bench {

// How busy the rest of the machine was, so a reader can weigh the figures.
struct Noise {
    std::string loadBefore;
    std::string loadAfter;
    double othersLatency = 0;  // cores used by other processes during the latency runs
    double othersLoad = 0;     // cores used by other processes during latency and throughput
    double othersIdle = 0;
    double othersRefusing = 0;
};

struct Report {
    std::string command;
    bool quick = false;
    int rounds = 0;
    int linesPerRound = 0;
    int printerLinesPerRound = 0;  // receipt lines, each followed by a status request
    std::string plots;             // folder of the latency plots; none when empty
    std::string revision;
    std::string started;
    std::string finished;
    int cpus = 0;
    std::string cpuModel;
    std::string kernel;
    std::string socatVersion;
    std::string qtVersion;
    int busy = kChannels;
    int nice = 0;
    std::string latencyPinning = "none";
    double relinkMs = 0;
    size_t relinked = 0;
    Noise noise;
    std::vector<std::string> notes;
};

// Other processes' use of the machine from which a run no longer counts as quiet.
constexpr double kLoadedCores = 0.2;

// Writes each relay's latency distribution (1 and all busy channels) as CDF points for
// gnuplot: <dir>/latency-<1|busy>-<relay>.dat, "microseconds fraction" per line.
void writePlotData(const std::vector<Relay*>& relays, const std::string& dir);

// Writes the Markdown report atomically, so a failed run never leaves half a table.
void writeReport(const Report& report, const std::vector<Relay*>& relays, const std::string& path);

}  // namespace bench
