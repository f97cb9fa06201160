#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "platform/qt_tcp_link.h"
#include "platform/socket_options.h"

namespace {

// Out of descriptors, a waiting connection would be reported again at once, forever: the port
// rests this long instead, and takes connections again by itself.
constexpr int kAcceptPauseMs = 1000;

TcpListener::Failure failureOf(QAbstractSocket::SocketError error) {
    switch (error) {
        case QAbstractSocket::SocketAccessError:
            return TcpListener::Failure::PermissionDenied;
        case QAbstractSocket::AddressInUseError:
            return TcpListener::Failure::InUse;
        case QAbstractSocket::SocketResourceError:
            return TcpListener::Failure::OutOfDescriptors;
        default:
            return TcpListener::Failure::Other;
    }
}

// Each accepted handle goes straight to the owner as a link, not through the server's queue
// of pending sockets.
class LinkServer : public QTcpServer {
public:
    LinkServer(std::function<void(TcpLink*)> onIncoming, QObject* parent)
        : QTcpServer(parent), onIncoming_(std::move(onIncoming)) {}

protected:
    void incomingConnection(qintptr handle) override {
        auto* socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(handle)) {
            // Turned away: the terminal dials again.
            delete socket;
            socket_options::discard(handle);
            return;
        }
        // Qt's accept loop stops by itself when the owner closes the port from its handler.
        onIncoming_(linkFor(socket, TcpLink::Role::Accepted));
    }

private:
    std::function<void(TcpLink*)> onIncoming_;
};

class QtTcpListener : public TcpListener {
public:
    QtTcpListener(std::function<void(TcpLink*)> onIncoming, QObject* parent)
        : TcpListener(parent), server_(new LinkServer(std::move(onIncoming), this)) {
        resume_.setSingleShot(true);
        resume_.setInterval(kAcceptPauseMs);
        connect(&resume_, &QTimer::timeout, server_, &QTcpServer::resumeAccepting);
        connect(server_, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
            server_->pauseAccepting();
            if (!resume_.isActive()) {
                qCWarning(lcSocket, "cannot accept (%s); a listening port rests for %d ms",
                          qPrintable(server_->errorString()), kAcceptPauseMs);
            }
            resume_.start();
        });
    }

    QTcpServer* server() const { return server_; }

    void close() override {
        resume_.stop();
        server_->close();
        deleteLater();
    }

private:
    LinkServer* server_;
    QTimer resume_;
};

}  // namespace

TcpListener::Result TcpListener::open(const QHostAddress& address, int port,
                                      std::function<void(TcpLink*)> onIncoming, QObject* parent) {
    if (port < 1 || port > 65535) {
        return {nullptr, Failure::OutOfRange, QStringLiteral("port out of range")};
    }
    auto* listener = new QtTcpListener(std::move(onIncoming), parent);
    // Qt's Any is dual-stack, falling back to IPv4 alone where the machine has no IPv6, and on
    // Linux Qt reuses a port whose old connections still wait in TIME_WAIT, so a restarted
    // bridge listens again at once.
    if (!listener->server()->listen(address, quint16(port))) {
        const Result failed{nullptr, failureOf(listener->server()->serverError()),
                            listener->server()->errorString()};
        delete listener;
        return failed;
    }
    return {listener, Failure::None, {}};
}
