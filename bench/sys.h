#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}
inline double secondsSince(Clock::time_point from) {
    return secondsBetween(from, Clock::now());
}
inline Clock::time_point after(Clock::time_point from, double seconds) {
    return from +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Every failure ends the run: a half-measured table would be worse than none.
class BenchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
[[noreturn]] void fail(const std::string& what);
// Same, with the text of the current errno appended.
[[noreturn]] void failErrno(const std::string& what);

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// ---- sockets, all on the loopback address

// Ports that nothing holds on any address, taken from below the kernel's ephemeral range:
// a refused connect to a port inside that range can, rarely, meet itself (TCP
// simultaneous open from a source port equal to the destination) and look like a DVR.
std::vector<uint16_t> pickFreePorts(size_t count);
Fd listenLoopback(uint16_t port);
// A connected socket, or an empty Fd when the port refused or did not answer in time.
Fd connectLoopback(uint16_t port, int timeoutMs);
// A pending connection of a listener, or an empty Fd when none waits.
Fd acceptPending(int listener);
void setNonBlocking(int fd, bool on);
void setNoDelay(int fd);
// Writes everything, waiting for room at most timeoutMs in total.
void sendAll(int fd, std::string_view data, int timeoutMs);
// Reads exactly expected.size() bytes within timeoutMs and checks them.
void expectBytes(int fd, std::string_view expected, int timeoutMs, const std::string& what);

// ---- processes

// Starts argv[0] in `dir` with `env` as its whole environment, output to `logPath`. The
// child is killed if this program dies, so no relay outlives an aborted run.
pid_t spawn(const std::vector<std::string>& argv, const std::string& dir,
            const std::vector<std::string>& env, const std::string& logPath);
// True while the child runs; reaps it otherwise.
bool childRunning(pid_t pid);
// SIGTERM, then SIGKILL after graceMs; always reaps.
void stopChild(pid_t pid, int graceMs);
// Direct children of a process (socat forks one per connection).
std::vector<pid_t> childrenOf(pid_t pid);
// Puts every thread of a process (0: this one) on one CPU, or back on all of them when `cpu`
// is negative. False when the kernel refused.
bool setAffinity(pid_t pid, int cpu);

struct ProcStat {
    bool alive = false;
    double ownCpuSeconds = 0;     // utime + stime
    double reapedCpuSeconds = 0;  // cutime + cstime: children that already ended
    long rssKiB = 0;
    long hwmKiB = 0;
};
ProcStat readProc(pid_t pid);

// The relay as a set of processes: the ones started and whatever they forked.
struct GroupSample {
    double cpuSeconds = 0;
    long rssKiB = 0;
    long hwmKiB = 0;
    size_t processes = 0;
};
GroupSample sampleGroup(const std::vector<pid_t>& roots);

// Machine-wide busy and total CPU time since boot, in seconds of one core.
struct SystemCpu {
    double busy = 0;
    // User and system time of processes only: interrupt and softirq time, which on
    // loopback is mostly the measured traffic itself, is left out.
    double processes = 0;
    double total = 0;
};
SystemCpu readSystemCpu();

// ---- the machine, for the report
std::string cpuModel();
std::string kernelRelease();
std::string utcNow();
std::string loadAverage();
std::string commandOutput(const std::string& command);

}  // namespace bench
