#pragma once

#include <string>
#include <vector>

#include "relay.h"

namespace bench {

// Takes the relay's DVR links as they come and connects each terminal the moment its port
// accepts. Returns milliseconds from `start` until the last port accepted.
double bringUp(Relay& relay, Clock::time_point start, double limitSeconds);

// Sends one short line per channel and checks it reaches that channel's DVR, and only it.
void probeChannels(Relay& relay);

// A receipt line of exactly 40 bytes, numbered so that a misrouted or reordered piece shows.
std::string receiptLine(int channel, uint32_t sequence);

// Closed loop per channel: one line, wait until the DVR has all of it, then the next, so
// every line is one arrival. Adds one latency in microseconds per line to `out`.
void measureLatency(Relay& relay, int busy, size_t perChannel, double maxSeconds,
                    std::vector<double>& out);

struct ThroughputRound {
    double totalMBs = 0;
    double slowestMBs = 0;
};
// Every busy terminal writes large blocks as fast as the relay takes them; the rate is
// what reached the DVRs in the window after the warm-up. Waits until every byte sent
// has arrived, so the next measurement starts from quiet links.
ThroughputRound measureThroughput(Relay& relay, int busy, double warmupSeconds,
                                  double windowSeconds);

}  // namespace bench
