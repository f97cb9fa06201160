#include "platform/linux/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>

namespace socket_options {

namespace {

constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
constexpr int kUserTimeoutMs = 30000;

void setInt(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

void sendAtOnce(int fd) {
    setInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
}

void detectDeadPeer(int fd, bool boundUnsentData) {
    setInt(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setInt(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
    setInt(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
    setInt(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
    if (boundUnsentData) {
        setInt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, kUserTimeoutMs);
    }
}

void reusePort(int fd) {
    setInt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
}

void acceptIpv4Too(int fd, bool on) {
    setInt(fd, IPPROTO_IPV6, IPV6_V6ONLY, on ? 0 : 1);
}

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace socket_options
