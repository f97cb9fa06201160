#include <winsock2.h>
// Both build on winsock2.h.
#include <mstcpip.h>
#include <ws2tcpip.h>

#include "platform/windows/native.h"

Q_LOGGING_CATEGORY(lcSocket, "poskavelin.socket")

namespace {

constexpr unsigned long kKeepIdleMs = 10000;
constexpr unsigned long kKeepIntervalMs = 5000;
// TCP_MAXRT: the seconds a segment may go unacknowledged before the connection is dropped;
// mingw's headers leave the option's number out.
constexpr int kTcpMaxRt = 5;
constexpr DWORD kMaxRetransmitSeconds = 30;

}  // namespace

namespace native {

bool startWinsock() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

QString errorText(int error) {
    return qt_error_string(error);
}

void detectDeadPeer(qintptr socket, bool boundUnsentData) {
    const auto handle = SOCKET(socket);
    // SO_KEEPALIVE alone waits two hours; the ioctl sets the pace and switches it on.
    tcp_keepalive pace{1, kKeepIdleMs, kKeepIntervalMs};
    DWORD returned = 0;
    if (::WSAIoctl(handle, SIO_KEEPALIVE_VALS, &pace, sizeof pace, nullptr, 0, &returned, nullptr,
                   nullptr) != 0) {
        qCDebug(lcSocket, "keepalive not set: %s", qPrintable(errorText(::WSAGetLastError())));
    }
    if (boundUnsentData) {
        const DWORD seconds = kMaxRetransmitSeconds;
        ::setsockopt(handle, IPPROTO_TCP, kTcpMaxRt, reinterpret_cast<const char*>(&seconds),
                     sizeof seconds);
    }
}

}  // namespace native
