#include "platform/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QEvent>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <utility>

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

// Qt asks connect() how a connect ended each time the socket turns writable. After a reset the
// first call reports the reset, which Qt does not take for an end, and the socket stays
// writable: the second call would start a new handshake. That second question is held back
// and the attempt ends instead, later in the loop, as Qt's notifier is still being told.
class DialWatch : public QObject {
public:
    DialWatch(QTcpSocket* socket, std::function<void()> endedUnseen)
        : QObject(socket), socket_(socket), endedUnseen_(std::move(endedUnseen)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::SockAct ||
            socket_->state() != QAbstractSocket::ConnectingState) {
            return QObject::eventFilter(watched, event);
        }
        if (!asked_) {
            asked_ = true;
            return false;
        }
        if (auto ended = std::exchange(endedUnseen_, nullptr)) {
            QMetaObject::invokeMethod(this, std::move(ended), Qt::QueuedConnection);
        }
        return true;
    }

private:
    QTcpSocket* socket_;
    std::function<void()> endedUnseen_;
    bool asked_ = false;
};

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

void watchDial(QTcpSocket* socket, std::function<void()> endedUnseen) {
    if (socket->state() != QAbstractSocket::ConnectingState) {
        return;
    }
    auto* watch = new DialWatch(socket, std::move(endedUnseen));
    // Qt's own notifiers are the socket's (grand)children; only its write notifier asks.
    for (QSocketNotifier* notifier : socket->findChildren<QSocketNotifier*>()) {
        if (notifier->type() == QSocketNotifier::Write) {
            notifier->installEventFilter(watch);
        }
    }
    QObject::connect(socket, &QAbstractSocket::stateChanged, watch,
                     [watch](QAbstractSocket::SocketState state) {
                         if (state != QAbstractSocket::ConnectingState) {
                             watch->deleteLater();
                         }
                     });
}

}  // namespace socket_options
