#include "platform/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTcpSocket>

namespace {

// Keepalive probes start after 10 s of silence and come 5 s apart; three unanswered end
// the connection, so a vanished peer is found in about 25 s rather than Linux's two hours.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
// Keepalive is silent while data waits unacknowledged: this bounds that case instead of the
// kernel's fifteen retransmissions (about 15 minutes).
constexpr int kUserTimeoutMs = 30000;

void setInt(qintptr socket, int level, int name, int value) {
    ::setsockopt(int(socket), level, name, &value, sizeof value);
}

}  // namespace

namespace socket_options {

void detectDeadPeer(qintptr socket, bool boundUnsentData) {
    setInt(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
    setInt(socket, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
    setInt(socket, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
    setInt(socket, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
    if (boundUnsentData) {
        setInt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, kUserTimeoutMs);
    }
}

void finishSending(qintptr socket) {
    ::shutdown(int(socket), SHUT_WR);
}

void discard(qintptr socket) {
    ::close(int(socket));
}

void watchDial(QTcpSocket* socket, const QHostAddress& target, std::function<void()> endedUnseen) {
    // Bound first, so that the descriptor exists before the connect starts and is watched
    // before Qt watches it: this watch is told first. Qt then connects from it.
    const bool v6 = target.protocol() == QAbstractSocket::IPv6Protocol;
    if (!socket->bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0) ||
        socket->socketDescriptor() < 0) {
        return;
    }
    // A connecting socket turns readable only once the peer has ended the connection (or,
    // rarely, spoke before the loop looked, which costs one paced attempt).
    auto* watch = new QSocketNotifier(socket->socketDescriptor(), QSocketNotifier::Read, socket);
    auto stop = [watch] {
        watch->setEnabled(false);
        watch->deleteLater();
    };
    QObject::connect(watch, &QSocketNotifier::activated, socket,
                     [socket, stop, endedUnseen = std::move(endedUnseen)] {
                         stop();
                         if (socket->state() == QAbstractSocket::ConnectingState) {
                             endedUnseen();
                         }
                     });
    QObject::connect(socket, &QAbstractSocket::stateChanged, watch,
                     [stop](QAbstractSocket::SocketState state) {
                         if (state == QAbstractSocket::ConnectedState ||
                             state == QAbstractSocket::UnconnectedState) {
                             stop();
                         }
                     });
}

}  // namespace socket_options
