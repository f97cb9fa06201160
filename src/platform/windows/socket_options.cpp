#include <winsock2.h>
// Both build on winsock2.h.
#include <mstcpip.h>
#include <ws2tcpip.h>

#include "platform/socket_options.h"

namespace {

// Keepalive probes start after 10 s of silence and come 5 s apart; Windows gives up after
// its own ten unanswered probes, so a vanished peer is found in about a minute rather than
// after two hours.
constexpr unsigned long kKeepIdleMs = 10000;
constexpr unsigned long kKeepIntervalMs = 5000;
// TCP_MAXRT: the seconds a segment may go unacknowledged before the connection is dropped,
// as keepalive is silent while data waits; mingw's headers leave the option's number out.
constexpr int kTcpMaxRt = 5;
constexpr DWORD kMaxRetransmitSeconds = 30;

}  // namespace

namespace socket_options {

void detectDeadPeer(qintptr socket, bool boundUnsentData) {
    const auto handle = SOCKET(socket);
    // SO_KEEPALIVE alone waits two hours; the ioctl sets the pace and switches it on.
    tcp_keepalive pace{1, kKeepIdleMs, kKeepIntervalMs};
    DWORD returned = 0;
    ::WSAIoctl(handle, SIO_KEEPALIVE_VALS, &pace, sizeof pace, nullptr, 0, &returned, nullptr,
               nullptr);
    if (boundUnsentData) {
        const DWORD seconds = kMaxRetransmitSeconds;
        ::setsockopt(handle, IPPROTO_TCP, kTcpMaxRt, reinterpret_cast<const char*>(&seconds),
                     sizeof seconds);
    }
}

void finishSending(qintptr socket) {
    ::shutdown(SOCKET(socket), SD_SEND);
}

void discard(qintptr socket) {
    ::closesocket(SOCKET(socket));
}

void watchDial(QTcpSocket*, std::function<void()>) {}

}  // namespace socket_options
