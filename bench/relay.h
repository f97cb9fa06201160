#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sys.h"

namespace bench {

constexpr int kChannels = 16;

// One channel as the bench plays it: the DVR's listener and its end of the relay's DVR
// link, and the terminal's connection to the relay's POS port.
struct Channel {
    uint16_t dvrPort = 0;
    uint16_t relayPort = 0;  // where the terminal connects; the DVR port for a direct link
    Fd dvrListener;
    Fd dvr;
    Fd terminal;
};

// Everything measured for one way of carrying terminal bytes to a DVR.
struct Relay {
    Relay(std::string relayName, std::string added)
        : name(std::move(relayName)), suffix(std::move(added)) {}

    std::string name;
    // What the relay adds to each arrival; the byte counts at the DVR take it out again.
    std::string suffix;
    // For a bridge that shapes its terminals' text: what the terminals send (receipt lines
    // it forwards byte for byte, a line at a time), instead of letters without line ends.
    std::string lines;
    std::vector<Channel> channels = std::vector<Channel>(kChannels);
    std::vector<pid_t> processes;  // the ones started for it; forks are found under them

    std::optional<double> startupMs;
    std::vector<double> latencyOne;  // microseconds, one channel busy, all rounds
    std::vector<std::vector<double>> latencyOneRounds;  // the same, round by round
    std::vector<double> latencyBusy;                    // microseconds, every busy channel at once
    // The till-to-printer path, 1 channel, round by round, in microseconds: till to printer,
    // and DLE EOT 1 from the till until the printer's answer is back at the till.
    std::vector<std::vector<double>> printerRounds;
    std::vector<std::vector<double>> printerTripRounds;
    std::vector<double> throughputOne;          // MB/s per round
    std::vector<double> throughputBusy;         // MB/s per round, all busy channels together
    std::vector<double> throughputBusySlowest;  // MB/s per round, the slowest of them
    std::vector<double> throughputShapedOne;    // MB/s per round, 1 channel, all shaping on
    std::optional<double> cpuIdle;              // % of one core
    std::optional<double> cpuRefusing;          // % of one core
    std::optional<GroupSample> atIdle;
    std::optional<GroupSample> atRefusing;
    long peakHwmKiB = 0;

    bool hasProcess() const { return !processes.empty(); }
    void notePeak(const GroupSample& sample) { peakHwmKiB = std::max(peakHwmKiB, sample.hwmKiB); }
};

}  // namespace bench
