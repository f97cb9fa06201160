#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QPointer>
#include <QTimer>
#include <cerrno>

#include "platform/linux/native.h"
#include "platform/linux/socket_hub.h"
#include "platform/linux/socket_options.h"

namespace {

// One non-blocking connect, watched in the hub until the handshake has finished. Qt's
// QTcpSocket learns how a connect ended by calling connect() again on the same socket; when
// the DVR's reset got there first, that call starts a new handshake, so a DVR that accepts
// and resets at once would be dialled again and again, unpaced and unseen. Here a socket is
// dialled once, and only a finished connection is handed on.
class LinuxTcpDialer : public TcpDialer, private SocketHubClient {
public:
    LinuxTcpDialer(std::function<void(TcpLink*)> onConnected,
                   std::function<void(const QString&)> onFailed, QObject* parent)
        : TcpDialer(parent),
          onConnected_(std::move(onConnected)),
          onFailed_(std::move(onFailed)),
          hub_(&SocketHub::forThread()) {}
    ~LinuxTcpDialer() override { release(); }

    void start(const QHostAddress& address, quint16 port) {
        sockaddr_storage peer{};
        const socklen_t length = native::toSockaddr(address, port, &peer);
        fd_ = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            failLater(socket_options::errorText(errno));
            return;
        }
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), length) != 0 &&
            errno != EINPROGRESS) {
            failLater(socket_options::errorText(errno));
            return;
        }
        // Even a connect that finished at once is reported from the event loop.
        if (!hub_ || !hub_->watch(fd_, this, EPOLLOUT)) {
            failLater(QStringLiteral("cannot watch the socket"));
        }
    }

    void abandon() override {
        onConnected_ = nullptr;
        onFailed_ = nullptr;
        release();
        deleteLater();
    }

private:
    void onSocketEvents(std::uint32_t) override {
        int result = 0;
        socklen_t length = sizeof result;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
            result = errno;
        }
        if (hub_) {
            hub_->unwatch(fd_, this);
        }
        if (result != 0) {
            release();
            report(socket_options::errorText(result));
            return;
        }
        TcpLink* link = native::adoptLink(std::exchange(fd_, -1), TcpLink::Role::Dialled);
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

    void release() {
        if (fd_ < 0) {
            return;
        }
        if (hub_) {
            hub_->unwatch(fd_, this);
        }
        ::close(std::exchange(fd_, -1));
    }

    int fd_ = -1;
    std::function<void(TcpLink*)> onConnected_;
    std::function<void(const QString&)> onFailed_;
    QPointer<SocketHub> hub_;
};

}  // namespace

TcpDialer* TcpDialer::dial(const QHostAddress& address, quint16 port,
                           std::function<void(TcpLink*)> onConnected,
                           std::function<void(const QString& reason)> onFailed, QObject* parent) {
    auto* dialer = new LinuxTcpDialer(std::move(onConnected), std::move(onFailed), parent);
    dialer->start(address, port);
    return dialer;
}
