#include <QTcpSocket>

#include "platform/qt_tcp_link.h"
#include "platform/socket_options.h"

namespace {

// One connect, reported once it has ended either way, then handed to a link. Qt may emit
// connected() or an error from inside connectToHost(); the owner hears of it from the loop.
class QtTcpDialer : public TcpDialer {
public:
    QtTcpDialer(std::function<void(TcpLink*)> onConnected,
                std::function<void(const QString&)> onFailed, QObject* parent)
        : TcpDialer(parent),
          socket_(new QTcpSocket(this)),
          onConnected_(std::move(onConnected)),
          onFailed_(std::move(onFailed)) {}

    void start(const QHostAddress& address, quint16 port) {
        connect(socket_, &QTcpSocket::connected, this, [this] { finishLater(); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this] { finishLater(); });
        socket_->connectToHost(address, port);
        socket_options::watchDial(socket_, [this] {
            // Qt would dial again unseen: the attempt ends here instead.
            socket_->disconnect(this);
            socket_->abort();
            failure_ = QStringLiteral("connection ended before it was taken");
            finishLater();
        });
    }

    void abandon() override {
        onConnected_ = nullptr;
        onFailed_ = nullptr;
        if (socket_) {
            socket_->disconnect(this);
            socket_->abort();
        }
        deleteLater();
    }

private:
    void finishLater() {
        if (finishing_) {
            return;
        }
        finishing_ = true;
        QMetaObject::invokeMethod(
            this, [this] { finish(); }, Qt::QueuedConnection);
    }

    void finish() {
        if (!socket_) {
            return;
        }
        socket_->disconnect(this);
        // A link the peer ended before it was looked at is a failed attempt, not one to retry
        // here: attempts are paced by the owner.
        if (socket_->state() != QAbstractSocket::ConnectedState) {
            if (auto failed = std::exchange(onFailed_, nullptr)) {
                onConnected_ = nullptr;
                failed(failure_.isEmpty() ? socket_->errorString() : failure_);
            }
            return;
        }
        TcpLink* link = linkFor(std::exchange(socket_, nullptr), TcpLink::Role::Dialled);
        if (auto done = std::exchange(onConnected_, nullptr)) {
            onFailed_ = nullptr;
            done(link);
        } else {
            link->close(false);
        }
    }

    QTcpSocket* socket_;
    std::function<void(TcpLink*)> onConnected_;
    std::function<void(const QString&)> onFailed_;
    bool finishing_ = false;
    QString failure_;
};

}  // namespace

TcpDialer* TcpDialer::dial(const QHostAddress& address, quint16 port,
                           std::function<void(TcpLink*)> onConnected,
                           std::function<void(const QString& reason)> onFailed, QObject* parent) {
    auto* dialer = new QtTcpDialer(std::move(onConnected), std::move(onFailed), parent);
    dialer->start(address, port);
    return dialer;
}
