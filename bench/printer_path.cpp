#include "printer_path.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "load.h"

namespace bench {

namespace {

// A piece that has not arrived after this long is lost, not slow.
constexpr int kStallMs = 3000;
const std::string kStatusRequest("\x10\x04\x01", 3);  // DLE EOT 1: printer status
// An ESC/POS printer's answer to it when online with its drawer closed (bits 1 and 4 are
// always set).
constexpr char kOnline = 0x12;

// Bytes one end of the path must get for one step, checked as they come.
struct Arrival {
    int fd = -1;
    std::string expected;
    size_t received = 0;
    Clock::time_point at;
    const char* where = "";

    bool done() const { return received == expected.size(); }
};

// Reads what `a.fd` has; fails on a closed connection or on bytes that were not expected.
void take(Arrival& a, const std::string& path) {
    std::array<char, 4096> buffer;
    const ssize_t n = ::recv(a.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        fail(path + ": the " + a.where + " connection ended");
    }
    a.at = Clock::now();
    if (a.received + size_t(n) > a.expected.size() ||
        std::memcmp(a.expected.data() + a.received, buffer.data(), size_t(n)) != 0) {
        fail(path + ": the " + a.where + " got \"" + std::string(buffer.data(), size_t(n)) +
             "\" while waiting for \"" + a.expected.substr(a.received) + "\"");
    }
    a.received += size_t(n);
}

// Sends `request` from the till and waits until every end has what it should: the printer
// the request as it was sent, the DVR its copy with CR LF, and, when the printer answers,
// the till that answer. Returns microseconds from the send to the printer having the whole
// request, or to the till having the whole answer.
double step(PrinterPath& path, const std::string& request, std::optional<char> answer) {
    // The printer first, so that when both are ready its time is taken before the DVR read.
    std::vector<Arrival> arrivals;
    arrivals.push_back({path.printer.get(), request, 0, {}, "printer"});
    if (path.copiesToDvr()) {
        arrivals.push_back({path.dvr.get(), request + "\r\n", 0, {}, "DVR"});
    }
    if (answer) {
        arrivals.push_back({path.till.get(), std::string(1, *answer), 0, {}, "till"});
    }
    Arrival& printer = arrivals.front();
    bool answered = false;

    const auto sentAt = Clock::now();
    sendAll(path.till.get(), request, kStallMs);
    std::array<pollfd, 3> fds;
    // Bounded: each pass takes bytes, which are capped by the checks, or fails on a stall.
    for (;;) {
        size_t waiting = 0;
        for (const Arrival& a : arrivals) {
            if (!a.done()) {
                fds[waiting++] = {a.fd, POLLIN, 0};
            }
        }
        if (waiting == 0) {
            break;
        }
        const int ready = ::poll(fds.data(), waiting, kStallMs);
        if (ready < 0 && errno != EINTR) {
            failErrno("poll");
        }
        if (ready == 0) {
            fail(path.name + ": a step of the printer path did not complete within " +
                 std::to_string(kStallMs) + " ms");
        }
        for (size_t k = 0; k < waiting; ++k) {
            if (fds[k].revents == 0) {
                continue;
            }
            for (Arrival& a : arrivals) {
                if (a.fd == fds[k].fd) {
                    take(a, path.name);
                }
            }
        }
        if (answer && printer.done() && !answered) {
            answered = true;
            sendAll(path.printer.get(), std::string(1, *answer), kStallMs);
        }
    }
    return secondsBetween(sentAt, answer ? arrivals.back().at : printer.at) * 1e6;
}

// The settings of a bridge with one row: its till on the path's till port, its printer the
// bench's, its DVR the bench's.
std::string printerIniText(const PrinterPath& path) {
    return "[Setup]\r\nHide=1\r\nAutoRun=1\r\nEnableSchedule=0\r\nEnablePrinter=0\r\n"
           "\r\n[Connection 1]\r\nIP=127.0.0.1\r\nDVR_PORT=" +
           std::to_string(path.dvrPort) + "\r\nPOS_PORT=" + std::to_string(path.tillPort) +
           "\r\nRECEIPT_PRINTER=127.0.0.1:" + std::to_string(path.printerPort) + "\r\nENABLE=1\r\n";
}

// With the printer's listener (and the DVR's) open: takes the bridge's DVR link, connects
// the till as soon as its port listens and takes the connection the relay opens to the
// printer for it.
void bringUpPrinterPath(PrinterPath& path, double limitSeconds) {
    const auto deadline = after(Clock::now(), limitSeconds);
    // Bounded by the deadline; 2 ms between passes leave a starting relay the CPU.
    while (!path.till || !path.printer || (path.copiesToDvr() && !path.dvr)) {
        if (Clock::now() > deadline) {
            fail(path.name + ": after " + std::to_string(limitSeconds) + " s the till " +
                 (path.till ? "was" : "was not") + " connected and the printer " +
                 (path.printer ? "was" : "was not") + " reached");
        }
        for (pid_t pid : path.processes) {
            if (!childRunning(pid)) {
                fail(path.name + ": the process ended during start-up");
            }
        }
        if (path.copiesToDvr() && !path.dvr) {
            path.dvr = acceptPending(path.dvrListener.get());
        }
        if (!path.till) {
            path.till = connectLoopback(path.tillPort, 200);
        }
        if (path.till && !path.printer) {
            path.printer = acceptPending(path.printerListener.get());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

void startPrinterPaths(PrinterPaths& paths, const std::string& program, const std::string& socat,
                       const std::string& folder, const std::vector<std::string>& bridgeEnv,
                       const std::vector<std::string>& socatEnv) {
    const std::vector<uint16_t> ports = pickFreePorts(6);
    paths.bridge.dvrPort = ports[0];
    paths.bridge.tillPort = ports[1];
    paths.bridge.printerPort = ports[2];
    paths.socat.tillPort = ports[3];
    paths.socat.printerPort = ports[4];
    paths.direct.tillPort = paths.direct.printerPort = ports[5];
    for (PrinterPath* p : paths.all()) {
        p->printerListener = listenLoopback(p->printerPort);
    }
    paths.bridge.dvrListener = listenLoopback(paths.bridge.dvrPort);

    const std::filesystem::path dir = folder;
    std::filesystem::create_directory(dir);
    std::filesystem::copy_file(program, dir / "poskavelin");
    {
        std::ofstream ini(dir / "PosKavelin.ini", std::ios::binary);
        ini << printerIniText(paths.bridge);
    }
    paths.bridge.processes.push_back(
        spawn({(dir / "poskavelin").string()}, folder, bridgeEnv, dir / "log"));
    // nodelay on both sides: without it Nagle holds socat's one-byte status answer until the
    // till's delayed ACK for the last one comes, about 40 ms, which would measure that alone.
    paths.socat.processes.push_back(spawn(
        {socat, "TCP-LISTEN:" + std::to_string(paths.socat.tillPort) + ",reuseaddr,fork,nodelay",
         "TCP:127.0.0.1:" + std::to_string(paths.socat.printerPort) + ",nodelay"},
        folder, socatEnv, dir / "socat.log"));
    for (PrinterPath* p : paths.all()) {
        bringUpPrinterPath(*p, 20);
        probePrinterPath(*p);
    }
}

void stopPrinterPaths(PrinterPaths& paths) {
    for (PrinterPath* p : paths.all()) {
        // The till leaves first: a bridge asked to stop lets a connected terminal finish.
        p->till.reset();
        for (pid_t pid : p->processes) {
            stopChild(pid, 2000);
        }
    }
}

void probePrinterPath(PrinterPath& path) {
    step(path, "probe for the printer", std::nullopt);
    step(path, kStatusRequest, kOnline);
    // The answer must have gone to the till alone, and nothing anywhere twice.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const Fd* end : {&path.printer, &path.till, &path.dvr}) {
        char extra = 0;
        if (*end && ::recv(end->get(), &extra, 1, MSG_DONTWAIT | MSG_PEEK) > 0) {
            fail(path.name + ": unexpected bytes after the printer path's probe");
        }
    }
}

void measurePrinterPath(PrinterPath& path, size_t lines, double maxSeconds, PrinterSamples& out) {
    const auto end = after(Clock::now(), maxSeconds);
    for (size_t k = 0; k < lines && (k == 0 || Clock::now() < end); ++k) {
        out.oneWay.push_back(step(path, receiptLine(1, ++path.sequence), std::nullopt));
        out.roundTrip.push_back(step(path, kStatusRequest, kOnline));
    }
}

}  // namespace bench
