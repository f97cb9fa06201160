#include "sys.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace bench {

void fail(const std::string& what) {
    throw BenchError(what);
}

void failErrno(const std::string& what) {
    throw BenchError(what + ": " + std::strerror(errno));
}

void Fd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int remainingMs(Clock::time_point deadline) {
    const double left = secondsBetween(Clock::now(), deadline);
    return left <= 0 ? 0 : int(left * 1000) + 1;
}

// The relays listen on every address, so a port counts as free only when the dual-stack
// wildcard can take it.
bool portIsFree(uint16_t port) {
    Fd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe) {
        int off = 0;
        ::setsockopt(probe.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_port = htons(port);
        any.sin6_addr = in6addr_any;
        return ::bind(probe.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
    }
    Fd probe4(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    return probe4 && ::bind(probe4.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
}

uint16_t ephemeralLow() {
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 32768;
    in >> low;
    return uint16_t(std::clamp(low, 2048, 65535));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long statusKiB(const std::string& status, std::string_view key) {
    const size_t at = status.find(key);
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + key.size());
}

}  // namespace

std::vector<uint16_t> pickFreePorts(size_t count) {
    const int high = ephemeralLow() - 1;
    const int low = std::max(10000, high - 20000);
    if (high - low < int(count) * 4) {
        fail("the ephemeral port range leaves too few ports below it");
    }
    std::mt19937 random{std::random_device{}()};
    int candidate = std::uniform_int_distribution<int>(low, high)(random);
    std::vector<uint16_t> ports;
    for (int tried = 0; tried <= high - low && ports.size() < count; ++tried) {
        candidate = candidate >= high ? low : candidate + 1;
        if (portIsFree(uint16_t(candidate))) {
            ports.push_back(uint16_t(candidate));
        }
    }
    if (ports.size() < count) {
        fail("not enough free ports below the ephemeral range");
    }
    return ports;
}

Fd listenLoopback(uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        failErrno("socket");
    }
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = loopback(port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        failErrno("bind 127.0.0.1:" + std::to_string(port));
    }
    if (::listen(fd.get(), 64) != 0) {
        failErrno("listen");
    }
    return fd;
}

Fd connectLoopback(uint16_t port, int timeoutMs) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        failErrno("socket");
    }
    const sockaddr_in address = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            return Fd();
        }
        pollfd waiting{fd.get(), POLLOUT, 0};
        if (::poll(&waiting, 1, timeoutMs) != 1) {
            return Fd();
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            return Fd();
        }
    }
    setNonBlocking(fd.get(), false);
    setNoDelay(fd.get());
    return fd;
}

Fd acceptPending(int listener) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) {
            return Fd();
        }
        failErrno("accept");
    }
    setNoDelay(fd);
    return Fd(fd);
}

void setNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

void setNoDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void sendAll(int fd, std::string_view data, int timeoutMs) {
    const auto deadline = after(Clock::now(), timeoutMs / 1000.0);
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data.remove_prefix(size_t(sent));
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            failErrno("send");
        }
        pollfd waiting{fd, POLLOUT, 0};
        if (::poll(&waiting, 1, remainingMs(deadline)) == 0) {
            fail("send: no room for " + std::to_string(timeoutMs) + " ms");
        }
    }
}

void expectBytes(int fd, std::string_view expected, int timeoutMs, const std::string& what) {
    const auto deadline = after(Clock::now(), timeoutMs / 1000.0);
    std::string got;
    while (got.size() < expected.size()) {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, remainingMs(deadline)) == 0) {
            fail(what + ": only " + std::to_string(got.size()) + " of " +
                 std::to_string(expected.size()) + " bytes arrived");
        }
        std::array<char, 4096> buffer;
        const size_t want = std::min(buffer.size(), expected.size() - got.size());
        const ssize_t n = ::recv(fd, buffer.data(), want, MSG_DONTWAIT);
        if (n == 0) {
            fail(what + ": the connection closed");
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            failErrno(what);
        }
        if (n > 0) {
            got.append(buffer.data(), size_t(n));
        }
    }
    if (got != expected) {
        fail(what + ": expected \"" + std::string(expected) + "\", got \"" + got + "\"");
    }
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& dir,
            const std::vector<std::string>& env, const std::string& logPath) {
    // Everything the child needs is built before fork: only async-signal-safe calls after it.
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        failErrno("fork");
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(126);
        }
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (log < 0 || null < 0 || ::chdir(dir.c_str()) != 0) {
            ::_exit(126);
        }
        ::dup2(null, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

bool childRunning(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

void stopChild(pid_t pid, int graceMs) {
    if (!childRunning(pid)) {
        return;
    }
    ::kill(pid, SIGTERM);
    const auto deadline = after(Clock::now(), graceMs / 1000.0);
    while (Clock::now() < deadline) {
        if (!childRunning(pid)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    const std::string listed =
        readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::istringstream in(listed);
    for (pid_t child = 0; in >> child;) {
        children.push_back(child);
    }
    return children;
}

bool setAffinity(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    for (long k = 0; k < cpus && k < CPU_SETSIZE; ++k) {
        if (cpu < 0 || k == cpu) {
            CPU_SET(int(k), &set);
        }
    }
    const std::string tasks =
        "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/task";
    bool ok = true;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        const pid_t tid = pid_t(std::atoi(entry.path().filename().c_str()));
        ok = (tid > 0 && ::sched_setaffinity(tid, sizeof set, &set) == 0) && ok;
    }
    return ok && !error;
}

ProcStat readProc(pid_t pid) {
    static const double ticks = double(::sysconf(_SC_CLK_TCK));
    ProcStat result;
    const std::string base = "/proc/" + std::to_string(pid);
    const std::string stat = readFile(base + "/stat");
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return result;
    }
    // After the name: state, ppid, ... ; utime is the 14th field of the line, the 12th here.
    std::istringstream in(stat.substr(nameEnd + 2));
    std::vector<std::string> fields;
    for (std::string field; fields.size() < 15 && in >> field;) {
        fields.push_back(field);
    }
    if (fields.size() < 15 || fields[0] == "Z") {
        return result;
    }
    result.alive = true;
    result.ownCpuSeconds = (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
    result.reapedCpuSeconds = (std::stod(fields[13]) + std::stod(fields[14])) / ticks;
    const std::string status = readFile(base + "/status");
    result.rssKiB = statusKiB(status, "VmRSS:");
    result.hwmKiB = statusKiB(status, "VmHWM:");
    return result;
}

GroupSample sampleGroup(const std::vector<pid_t>& roots) {
    GroupSample sample;
    auto add = [&sample](const ProcStat& p, bool withReaped) {
        if (!p.alive) {
            return;
        }
        sample.cpuSeconds += p.ownCpuSeconds + (withReaped ? p.reapedCpuSeconds : 0);
        sample.rssKiB += p.rssKiB;
        sample.hwmKiB += p.hwmKiB;
        ++sample.processes;
    };
    for (pid_t root : roots) {
        add(readProc(root), true);
        for (pid_t child : childrenOf(root)) {
            add(readProc(child), false);
        }
    }
    return sample;
}

SystemCpu readSystemCpu() {
    static const double ticks = double(::sysconf(_SC_CLK_TCK));
    std::ifstream in("/proc/stat");
    std::string label;
    in >> label;
    std::array<double, 8> v{};
    for (double& value : v) {
        in >> value;
    }
    // user nice system idle iowait irq softirq steal
    SystemCpu cpu;
    cpu.busy = (v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / ticks;
    cpu.processes = (v[0] + v[1] + v[2]) / ticks;
    cpu.total = cpu.busy + (v[3] + v[4]) / ticks;
    return cpu;
}

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string kernelRelease() {
    utsname name{};
    ::uname(&name);
    return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

std::string loadAverage() {
    std::string text = readFile("/proc/loadavg");
    std::istringstream in(text);
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string commandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 256> buffer;
        while (std::fgets(buffer.data(), int(buffer.size()), pipe)) {
            output += buffer.data();
        }
        ::pclose(pipe);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) {
        output.pop_back();
    }
    return output;
}

}  // namespace bench
