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

// As QTcpServer has it.
constexpr int kListenBacklog = 50;

bool outOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

TcpListener::Failure failureOf(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return TcpListener::Failure::PermissionDenied;
        case EADDRINUSE:
            return TcpListener::Failure::InUse;
        default:
            return outOfDescriptors(error) ? TcpListener::Failure::OutOfDescriptors
                                           : TcpListener::Failure::Other;
    }
}

// A listening port in the hub. Accepted descriptors go straight to the owner as links;
// QTcpServer would wrap each in a QTcpSocket that reads into a buffer of its own.
class LinuxTcpListener : public TcpListener, private SocketHubClient {
public:
    LinuxTcpListener(int fd, std::function<void(TcpLink*)> onIncoming, QObject* parent)
        : TcpListener(parent),
          fd_(fd),
          onIncoming_(std::move(onIncoming)),
          hub_(&SocketHub::forThread()) {
        resume_.setSingleShot(true);
        resume_.setInterval(kAcceptPauseMs);
        connect(&resume_, &QTimer::timeout, this, [this] { startWatching(); });
    }
    ~LinuxTcpListener() override { release(); }

    bool startWatching() {
        if (fd_ < 0 || !hub_) {
            return false;
        }
        if (hub_->watch(fd_, this, EPOLLIN)) {
            return true;
        }
        // Out of memory for the epoll set, most likely: try again after a rest.
        resume_.start();
        return false;
    }

    void close() override {
        release();
        deleteLater();
    }

private:
    // Out of descriptors, a waiting connection would be reported again at once, forever:
    // the port rests this long instead, and takes connections again by itself.
    static constexpr int kAcceptPauseMs = 1000;
    static constexpr int kAcceptsPerPass = 64;

    void release() {
        if (fd_ < 0) {
            return;
        }
        resume_.stop();
        if (hub_) {
            hub_->unwatch(fd_, this);
        }
        ::close(std::exchange(fd_, -1));
    }

    void onSocketEvents(std::uint32_t) override {
        // The owner may close this listener from its handler.
        for (int i = 0; i < kAcceptsPerPass && fd_ >= 0; ++i) {
            const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                onIncoming_(native::adoptLink(fd, TcpLink::Role::Accepted));
                continue;
            }
            if (outOfDescriptors(errno)) {
                if (!resume_.isActive()) {
                    qCWarning(lcSocket, "out of descriptors; a listening port rests for %d ms",
                              kAcceptPauseMs);
                }
                if (hub_) {
                    hub_->unwatch(fd_, this);
                }
                resume_.start();
                return;
            }
            // EAGAIN: all taken. Anything else (a connection reset while it waited) ends this
            // pass; the rest are reported again.
            if (errno != ECONNABORTED && errno != EINTR) {
                return;
            }
        }
    }

    int fd_;
    std::function<void(TcpLink*)> onIncoming_;
    QPointer<SocketHub> hub_;
    QTimer resume_;
};

// A bound, listening descriptor, or -1 with errno set.
int openPort(const QHostAddress& address, quint16 port) {
    const bool any = address == QHostAddress(QHostAddress::Any);
    const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    int failure = EAFNOSUPPORT;
    for (const int family : {AF_INET6, AF_INET}) {
        if (!any && ((v4 && family == AF_INET6) || (!v4 && family == AF_INET))) {
            continue;
        }
        const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            failure = errno;
            continue;
        }
        socket_options::reusePort(fd);
        if (family == AF_INET6) {
            socket_options::acceptIpv4Too(fd, any);
        }
        sockaddr_storage storage{};
        const socklen_t length = native::toSockaddr(
            any ? QHostAddress(family == AF_INET6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4)
                : address,
            port, &storage);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0 &&
            ::listen(fd, kListenBacklog) == 0) {
            return fd;
        }
        failure = errno;
        ::close(fd);
        // A port in use on IPv6 is in use for IPv4 too; only a missing IPv6 falls back.
        if (failure != EAFNOSUPPORT && failure != EADDRNOTAVAIL) {
            break;
        }
    }
    errno = failure;
    return -1;
}

}  // namespace

TcpListener::Result TcpListener::open(const QHostAddress& address, int port,
                                      std::function<void(TcpLink*)> onIncoming, QObject* parent) {
    if (port < 1 || port > 65535) {
        return {nullptr, Failure::OutOfRange, QStringLiteral("port out of range")};
    }
    const int fd = openPort(address, quint16(port));
    if (fd < 0) {
        const int error = errno;
        return {nullptr, failureOf(error), socket_options::errorText(error)};
    }
    auto* listener = new LinuxTcpListener(fd, std::move(onIncoming), parent);
    if (!listener->startWatching()) {
        listener->close();
        return {nullptr, Failure::Other, QStringLiteral("cannot watch the port")};
    }
    return {listener, Failure::None, {}};
}
