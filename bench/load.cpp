#include "load.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

namespace bench {

namespace {

constexpr size_t kLineBytes = 40;
constexpr size_t kBlockBytes = 64 * 1024;
constexpr size_t kReadBytes = 256 * 1024;
// A piece that has not arrived after this long is lost, not slow.
constexpr int kStallMs = 3000;

class Epoll {
public:
    Epoll() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (!fd_) {
            failErrno("epoll_create1");
        }
    }
    void add(int fd, uint32_t events, uint64_t tag) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = tag;
        if (::epoll_ctl(fd_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            failErrno("epoll_ctl add");
        }
    }
    void remove(int fd) { ::epoll_ctl(fd_.get(), EPOLL_CTL_DEL, fd, nullptr); }
    int wait(epoll_event* events, int capacity, int timeoutMs) {
        const int n = ::epoll_wait(fd_.get(), events, capacity, timeoutMs);
        if (n < 0 && errno != EINTR) {
            failErrno("epoll_wait");
        }
        return std::max(n, 0);
    }

private:
    Fd fd_;
};

uint64_t countNewlines(const char* data, size_t size) {
    uint64_t count = 0;
    const char* end = data + size;
    for (const char* at = data; at < end;) {
        const void* hit = std::memchr(at, '\n', size_t(end - at));
        if (!hit) {
            break;
        }
        ++count;
        at = static_cast<const char*>(hit) + 1;
    }
    return count;
}

std::string channelName(const Relay& relay, size_t index) {
    return relay.name + " channel " + std::to_string(index + 1);
}

}  // namespace

double bringUp(Relay& relay, Clock::time_point start, double limitSeconds) {
    const auto deadline = after(start, limitSeconds);
    double lastListenMs = 0;
    size_t terminals = 0;
    size_t links = 0;
    std::vector<pollfd> listeners;
    for (Channel& c : relay.channels) {
        listeners.push_back({c.dvrListener.get(), POLLIN, 0});
    }
    // Bounded by the deadline; each pass costs 16 refused connects, so it waits 2 ms
    // between passes to leave the relay the CPU it needs to start.
    while (terminals < relay.channels.size() || links < relay.channels.size()) {
        if (Clock::now() > deadline) {
            fail(relay.name + ": after " + std::to_string(limitSeconds) + " s only " +
                 std::to_string(terminals) + " POS ports listened and " + std::to_string(links) +
                 " DVR links arrived");
        }
        for (pid_t pid : relay.processes) {
            if (!childRunning(pid)) {
                fail(relay.name + ": the process ended during start-up");
            }
        }
        for (Channel& c : relay.channels) {
            if (!c.dvr) {
                if (Fd link = acceptPending(c.dvrListener.get())) {
                    c.dvr = std::move(link);
                    ++links;
                }
            }
            if (!c.terminal) {
                if (Fd terminal = connectLoopback(c.relayPort, 200)) {
                    c.terminal = std::move(terminal);
                    ++terminals;
                    lastListenMs = secondsSince(start) * 1000;
                }
            }
        }
        if (terminals < relay.channels.size() || links < relay.channels.size()) {
            ::poll(listeners.data(), listeners.size(), 2);
        }
    }
    return lastListenMs;
}

void probeChannels(Relay& relay) {
    for (size_t i = 0; i < relay.channels.size(); ++i) {
        // A whole line, so that a shaping bridge sends it at once.
        const std::string probe =
            "probe for channel " + std::to_string(i + 1) + (relay.lines.empty() ? "" : "\r\n");
        sendAll(relay.channels[i].terminal.get(), probe, kStallMs);
        expectBytes(relay.channels[i].dvr.get(), probe + relay.suffix, kStallMs,
                    channelName(relay, i));
    }
    // Nothing may have leaked onto another channel's DVR.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t i = 0; i < relay.channels.size(); ++i) {
        char extra = 0;
        if (::recv(relay.channels[i].dvr.get(), &extra, 1, MSG_DONTWAIT | MSG_PEEK) > 0) {
            fail(channelName(relay, i) + ": unexpected bytes after the probe");
        }
    }
}

std::string receiptLine(int channel, uint32_t sequence) {
    char text[64];
    std::snprintf(text, sizeof text, "CH%02d #%08u ESPRESSO 1x 2.40 EUR", channel, sequence);
    std::string line(text);
    line.resize(kLineBytes, ' ');
    return line;
}

void measureLatency(Relay& relay, int busy, size_t perChannel, double maxSeconds,
                    std::vector<double>& out) {
    struct Piece {
        uint32_t sequence = 0;
        size_t done = 0;
        std::string expected;
        size_t received = 0;
        Clock::time_point sentAt;
    };
    std::vector<Piece> pieces(static_cast<size_t>(busy));
    Epoll epoll;
    const auto end = after(Clock::now(), maxSeconds);

    auto sendNext = [&](size_t i) {
        Piece& p = pieces[i];
        const std::string line = receiptLine(int(i) + 1, ++p.sequence);
        p.expected = line + relay.suffix;
        p.received = 0;
        p.sentAt = Clock::now();
        sendAll(relay.channels[i].terminal.get(), line, kStallMs);
    };
    for (size_t i = 0; i < pieces.size(); ++i) {
        epoll.add(relay.channels[i].dvr.get(), EPOLLIN, i);
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        sendNext(i);
    }

    int waiting = busy;
    std::array<epoll_event, kChannels> events;
    std::array<char, 4096> buffer;
    // Bounded: every pass either completes pieces, whose number is capped, or fails on a stall.
    while (waiting > 0) {
        const int ready = epoll.wait(events.data(), int(events.size()), kStallMs);
        if (ready == 0) {
            fail(relay.name + ": a line did not reach its DVR within " + std::to_string(kStallMs) +
                 " ms");
        }
        for (int e = 0; e < ready; ++e) {
            const size_t i = size_t(events[size_t(e)].data.u64);
            Piece& p = pieces[i];
            const int fd = relay.channels[i].dvr.get();
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n <= 0) {
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    continue;
                }
                fail(channelName(relay, i) + ": the DVR link ended");
            }
            const auto arrived = Clock::now();
            if (p.received + size_t(n) > p.expected.size() ||
                std::memcmp(p.expected.data() + p.received, buffer.data(), size_t(n)) != 0) {
                fail(channelName(relay, i) + ": the DVR got \"" +
                     std::string(buffer.data(), size_t(n)) + "\" while waiting for \"" +
                     p.expected.substr(p.received) + "\"");
            }
            p.received += size_t(n);
            if (p.received < p.expected.size()) {
                continue;
            }
            out.push_back(secondsBetween(p.sentAt, arrived) * 1e6);
            ++p.done;
            if (p.done < perChannel && arrived < end) {
                sendNext(i);
            } else {
                epoll.remove(fd);
                --waiting;
            }
        }
    }
}

ThroughputRound measureThroughput(Relay& relay, int busy, double warmupSeconds,
                                  double windowSeconds) {
    struct Flow {
        uint64_t sent = 0;
        uint64_t raw = 0;
        uint64_t newlines = 0;
        char last = 0;
        uint64_t atWindowStart = 0;
        uint64_t atWindowEnd = 0;
    };
    const uint64_t suffixBytes = relay.suffix.size();
    std::vector<Flow> flows(static_cast<size_t>(busy));
    auto payload = [suffixBytes](const Flow& f) {
        return suffixBytes == 0 ? f.raw : f.raw - f.newlines * suffixBytes;
    };
    // Letters only: the one newline per arrival a relay may add is then countable.
    std::string block(
        relay.lines.empty() ? kBlockBytes : kBlockBytes / relay.lines.size() * relay.lines.size(),
        'x');
    for (size_t k = 0; k < block.size(); ++k) {
        block[k] = relay.lines.empty() ? char('A' + k % 26) : relay.lines[k % relay.lines.size()];
    }
    // A shaping bridge sends each line as it came, but the last one the terminal cut off
    // goes out after its idle time with a CR LF of its own, and the LF of a cut CR LF is
    // an empty line it drops.
    const uint64_t added = relay.lines.empty() ? 0 : 2;
    const uint64_t held = relay.lines.empty() ? 0 : 1;
    std::vector<char> buffer(kReadBytes);

    constexpr uint64_t kDvrTag = 1u << 16;
    Epoll epoll;
    for (size_t i = 0; i < flows.size(); ++i) {
        epoll.add(relay.channels[i].terminal.get(), EPOLLOUT, i);
        epoll.add(relay.channels[i].dvr.get(), EPOLLIN, kDvrTag | i);
    }

    auto readDvr = [&](size_t i) {
        Flow& f = flows[i];
        const ssize_t n =
            ::recv(relay.channels[i].dvr.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n == 0) {
            fail(channelName(relay, i) + ": the DVR link ended");
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                failErrno(channelName(relay, i) + ": DVR read");
            }
            return;
        }
        f.raw += uint64_t(n);
        if (suffixBytes > 0) {
            f.newlines += countNewlines(buffer.data(), size_t(n));
        }
        f.last = buffer[size_t(n) - 1];
    };

    const auto start = Clock::now();
    const auto windowStart = after(start, warmupSeconds);
    const auto windowEnd = after(windowStart, windowSeconds);
    bool inWindow = false;
    Clock::time_point measuredFrom;
    Clock::time_point measuredTo;
    auto lastProgress = start;
    std::array<epoll_event, 2 * kChannels> events;
    // Bounded by the window's end and by the stall check.
    for (auto now = start; now < windowEnd; now = Clock::now()) {
        if (!inWindow && now >= windowStart) {
            inWindow = true;
            measuredFrom = now;
            for (Flow& f : flows) {
                f.atWindowStart = payload(f);
            }
        }
        const int ready = epoll.wait(events.data(), int(events.size()), 100);
        if (ready > 0) {
            lastProgress = Clock::now();
        } else if (secondsSince(lastProgress) * 1000 > kStallMs) {
            fail(relay.name + ": the data stopped moving during the throughput run");
        }
        for (int e = 0; e < ready; ++e) {
            const uint64_t tag = events[size_t(e)].data.u64;
            const size_t i = size_t(tag & (kDvrTag - 1));
            if (tag & kDvrTag) {
                readDvr(i);
                continue;
            }
            const ssize_t n = ::send(relay.channels[i].terminal.get(), block.data(), block.size(),
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                flows[i].sent += uint64_t(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                failErrno(channelName(relay, i) + ": terminal write");
            }
        }
    }
    measuredTo = Clock::now();
    for (Flow& f : flows) {
        f.atWindowEnd = payload(f);
    }

    // Drain: the terminals stop, and every byte they sent must still arrive.
    for (size_t i = 0; i < flows.size(); ++i) {
        epoll.remove(relay.channels[i].terminal.get());
    }
    auto drained = [&](const Flow& f) {
        return payload(f) + held >= f.sent && (suffixBytes == 0 || f.last == relay.suffix.back());
    };
    const auto drainDeadline = after(Clock::now(), kStallMs / 1000.0 * 3);
    while (!std::all_of(flows.begin(), flows.end(), drained)) {
        if (Clock::now() > drainDeadline) {
            fail(relay.name + ": bytes sent during the throughput run never reached the DVR");
        }
        const int ready = epoll.wait(events.data(), int(events.size()), 100);
        for (int e = 0; e < ready; ++e) {
            readDvr(size_t(events[size_t(e)].data.u64 & (kDvrTag - 1)));
        }
        for (size_t i = 0; i < flows.size(); ++i) {
            if (payload(flows[i]) > flows[i].sent + suffixBytes + added) {
                fail(channelName(relay, i) + ": the DVR got more bytes than were sent");
            }
        }
    }

    const double seconds = secondsBetween(measuredFrom, measuredTo);
    ThroughputRound round;
    round.slowestMBs = -1;
    for (const Flow& f : flows) {
        const double rate = double(f.atWindowEnd - f.atWindowStart) / seconds / 1e6;
        round.totalMBs += rate;
        round.slowestMBs = round.slowestMBs < 0 ? rate : std::min(round.slowestMBs, rate);
    }
    return round;
}

}  // namespace bench
