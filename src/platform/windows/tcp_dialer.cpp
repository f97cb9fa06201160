#include <winsock2.h>
#include <ws2tcpip.h>

#include <QList>
#include <QSocketNotifier>
#include <QTimer>
#include <cstring>

#include "platform/windows/native.h"

namespace {

int toSockaddr(const QHostAddress& address, quint16 port, sockaddr_storage* storage) {
    *storage = {};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        in6->sin6_scope_id = address.scopeId().toULong();
        return sizeof *in6;
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    in4->sin_addr.s_addr = htonl(address.toIPv4Address());
    return sizeof *in4;
}

// One non-blocking connect, watched until the handshake has finished, then handed to a link.
// QTcpSocket learns how a connect ended by connecting again on the same socket, which on a
// DVR that accepts and resets at once may start a second handshake unpaced and unseen; here
// a socket is dialled once, and only a finished connection is handed on.
class WindowsTcpDialer : public TcpDialer {
public:
    WindowsTcpDialer(std::function<void(TcpLink*)> onConnected,
                     std::function<void(const QString&)> onFailed, QObject* parent)
        : TcpDialer(parent), onConnected_(std::move(onConnected)), onFailed_(std::move(onFailed)) {}
    ~WindowsTcpDialer() override { release(); }

    void start(const QHostAddress& address, quint16 port) {
        if (!native::startWinsock()) {
            failLater(native::errorText(::WSAGetLastError()));
            return;
        }
        sockaddr_storage peer{};
        const int length = toSockaddr(address, port, &peer);
        socket_ = ::socket(peer.ss_family, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) {
            failLater(native::errorText(::WSAGetLastError()));
            return;
        }
        u_long nonBlocking = 1;
        if (::ioctlsocket(socket_, FIONBIO, &nonBlocking) != 0 ||
            (::connect(socket_, reinterpret_cast<const sockaddr*>(&peer), length) != 0 &&
             ::WSAGetLastError() != WSAEWOULDBLOCK)) {
            failLater(native::errorText(::WSAGetLastError()));
            return;
        }
        // Windows tells the end of a connect as the socket being writable (FD_CONNECT); a
        // refusal may come as its close instead (FD_CLOSE), which Qt reports as readable.
        for (const auto type : {QSocketNotifier::Write, QSocketNotifier::Read}) {
            auto* notifier = new QSocketNotifier(qintptr(socket_), type, this);
            connect(notifier, &QSocketNotifier::activated, this, [this] { finished(); });
            notifiers_.append(notifier);
        }
        // A connect that ended before the notifiers were set up may never be told to them.
        QTimer::singleShot(0, this, [this] { finished(); });
    }

    void abandon() override {
        onConnected_ = nullptr;
        onFailed_ = nullptr;
        release();
        deleteLater();
    }

private:
    void finished() {
        if (socket_ == INVALID_SOCKET) {
            return;  // the other notifier's report of the same end
        }
        int result = 0;
        int length = sizeof result;
        if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result),
                         &length) != 0) {
            result = ::WSAGetLastError();
        }
        sockaddr_storage peer{};
        int peerLength = sizeof peer;
        if (result == 0 &&
            ::getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
            result = ::WSAGetLastError();
            if (result == WSAENOTCONN) {
                return;  // still under way
            }
        }
        // The link's own socket engine watches the handle from now on.
        stopWatching();
        if (result != 0) {
            release();
            report(native::errorText(result));
            return;
        }
        TcpLink* link = native::adoptLink(qintptr(std::exchange(socket_, INVALID_SOCKET)),
                                          TcpLink::Role::Dialled);
        if (auto done = std::exchange(onConnected_, nullptr)) {
            onFailed_ = nullptr;
            done(link);
        } else {
            link->close(false);
        }
    }

    void failLater(const QString& reason) {
        release();
        QTimer::singleShot(0, this, [this, reason] { report(reason); });
    }

    void report(const QString& reason) {
        if (auto failed = std::exchange(onFailed_, nullptr)) {
            onConnected_ = nullptr;
            failed(reason);
        }
    }

    // Disabled at once, deleted later: this may run inside the notifier's own signal.
    void stopWatching() {
        for (QSocketNotifier* notifier : std::exchange(notifiers_, {})) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }

    void release() {
        stopWatching();
        if (socket_ != INVALID_SOCKET) {
            ::closesocket(std::exchange(socket_, INVALID_SOCKET));
        }
    }

    SOCKET socket_ = INVALID_SOCKET;
    QList<QSocketNotifier*> notifiers_;
    std::function<void(TcpLink*)> onConnected_;
    std::function<void(const QString&)> onFailed_;
};

}  // namespace

TcpDialer* TcpDialer::dial(const QHostAddress& address, quint16 port,
                           std::function<void(TcpLink*)> onConnected,
                           std::function<void(const QString& reason)> onFailed, QObject* parent) {
    auto* dialer = new WindowsTcpDialer(std::move(onConnected), std::move(onFailed), parent);
    dialer->start(address, port);
    return dialer;
}
