#pragma once

#include <string>
#include <vector>

#include "relay.h"

namespace bench {

// How busy the rest of the machine was, so a reader can weigh the figures.
struct Noise {
    std::string loadBefore;
    std::string loadAfter;
    double othersLoad = 0;  // cores used by other processes during latency and throughput
    double othersIdle = 0;
    double othersRefusing = 0;
};

struct Report {
    std::string command;
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

// Writes the Markdown report atomically, so a failed run never leaves half a table.
void writeReport(const Report& report, const std::vector<Relay*>& relays, const std::string& path);

}  // namespace bench
