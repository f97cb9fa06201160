#include <winsock2.h>

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>

#include "platform/windows/native.h"

namespace {

// Qt reads ahead into a buffer of its own; bounded, the rest stays in the kernel, so a
// terminal whose text the window has not taken is slowed down by TCP as on Linux.
constexpr qint64 kReadAheadBytes = 64 * 1024;

int lingering = 0;

// A connection as a QTcpSocket on an adopted handle. Qt's signals arrive from the event loop;
// ends and errors are kept and told through linkReadable while the owner reads, so the bytes
// that came before a FIN are always taken first.
class WindowsTcpLink : public TcpLink {
public:
    WindowsTcpLink(qintptr handle, Role role)
        // Lives on its own while it hands over after close(), and dies with the application.
        : TcpLink(QCoreApplication::instance()), socket_(new QTcpSocket(this)) {
        socket_->setReadBufferSize(kReadAheadBytes);
        connect(socket_, &QTcpSocket::readyRead, this, [this] {
            if (reading_ && events_) {
                events_->linkReadable();
            }
        });
        connect(socket_, &QTcpSocket::bytesWritten, this, [this](qint64 sent) { onWritten(sent); });
        connect(socket_, &QTcpSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) { onEnded(error); });
        connect(socket_, &QTcpSocket::disconnected, this,
                [this] { onEnded(QAbstractSocket::RemoteHostClosedError); });
        if (!socket_->setSocketDescriptor(handle)) {
            ::closesocket(SOCKET(handle));
            broken_ = true;
            why_ = socket_->errorString();
            return;
        }
        if (role == Role::Dialled) {
            socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        }
        native::detectDeadPeer(handle, role == Role::Dialled);
    }

    ~WindowsTcpLink() override {
        if (handingOver_) {
            --lingering;
        }
    }

    void setEvents(TcpLinkEvents* events) override { events_ = events; }

    void setReading(bool on) override {
        if (on == reading_) {
            return;
        }
        reading_ = on;
        // What Qt read ahead, or an end it saw, while nobody read is not announced again.
        if (reading_ && somethingToTell()) {
            tellLater();
        }
    }

    qsizetype receive(char* into, qsizetype capacity, QString* why) override {
        const qint64 n = socket_->bytesAvailable() > 0 ? socket_->read(into, capacity) : 0;
        if (n > 0) {
            // readyRead comes again only for new bytes; the rest of the buffer, or the end
            // behind it, must be told by us.
            if (somethingToTell()) {
                tellLater();
            }
            return n;
        }
        if (broken_) {
            *why = why_;
            return kBroken;
        }
        return ended_ ? 0 : kNothingYet;
    }

    void send(QByteArrayView first, QByteArrayView second) override {
        if (broken_ || socket_->state() != QAbstractSocket::ConnectedState) {
            throw SocketError("socket is not connected");
        }
        // Buffered by Qt and written from the event loop, so a failure is never raised
        // inside this call.
        socket_->write(first.data(), first.size());
        if (!second.isEmpty()) {
            socket_->write(second.data(), second.size());
        }
    }

    qint64 queuedBytes() const override { return socket_->bytesToWrite(); }

    void shutdownWhenSent() override {
        if (socket_->bytesToWrite() == 0) {
            finishSending();
        } else {
            finWhenSent_ = true;
        }
    }

    void close(bool flush) override {
        events_ = nullptr;
        reading_ = false;
        if (!flush || socket_->bytesToWrite() == 0 || broken_ ||
            socket_->state() != QAbstractSocket::ConnectedState) {
            // What the kernel already holds still goes out, then FIN; unread bytes make it a
            // reset.
            release();
            return;
        }
        // Qt writes what is queued, then FIN; the bound is for a peer that never takes it.
        handingOver_ = true;
        ++lingering;
        socket_->disconnectFromHost();
        QTimer::singleShot(kLingerBoundMs, this, [this] { release(); });
    }

    QHostAddress peerAddress(quint16* port) const override {
        if (port) {
            *port = socket_->peerPort();
        }
        return socket_->peerAddress();
    }

private:
    bool somethingToTell() const { return socket_->bytesAvailable() > 0 || ended_ || broken_; }

    void tellLater() {
        if (tellPosted_) {
            return;
        }
        tellPosted_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                tellPosted_ = false;
                if (reading_ && events_ && somethingToTell()) {
                    events_->linkReadable();
                }
            },
            Qt::QueuedConnection);
    }

    void onWritten(qint64 sent) {
        if (finWhenSent_ && socket_->bytesToWrite() == 0) {
            finWhenSent_ = false;
            finishSending();
        }
        if (events_) {
            events_->linkWritten(sent);
        }
    }

    void onEnded(QAbstractSocket::SocketError error) {
        if (handingOver_) {
            // disconnected(): everything went out; an error: it never will. Not from inside
            // Qt's own signal, which goes on using the socket after we return.
            QMetaObject::invokeMethod(
                this, [this] { release(); }, Qt::QueuedConnection);
            return;
        }
        // Windows reports a reset as a close too; either way the peer is gone.
        if (error == QAbstractSocket::RemoteHostClosedError) {
            ended_ = true;
        } else if (!broken_ && !ended_) {
            broken_ = true;
            why_ = socket_->errorString();
        }
        if (!events_) {
            return;
        }
        if (reading_) {
            tellLater();
        } else if (broken_ || socket_->bytesToWrite() > 0) {
            // Without a reader it is the writer's to find, as a failed send would.
            events_->linkBroken(broken_ ? why_ : QStringLiteral("remote host closed"));
        }
    }

    // The peer gets FIN; Qt goes on reading until the peer ends too.
    void finishSending() {
        if (socket_->state() == QAbstractSocket::ConnectedState) {
            ::shutdown(SOCKET(socket_->socketDescriptor()), SD_SEND);
        }
    }

    void release() {
        if (released_) {
            return;
        }
        released_ = true;
        socket_->disconnect(this);
        socket_->abort();
        deleteLater();
    }

    QTcpSocket* socket_;
    TcpLinkEvents* events_ = nullptr;
    bool reading_ = false;
    bool tellPosted_ = false;
    bool ended_ = false;
    bool broken_ = false;
    QString why_;
    bool finWhenSent_ = false;
    bool handingOver_ = false;
    bool released_ = false;
};

}  // namespace

int lingeringLinks() {
    return lingering;
}

TcpLink* native::adoptLink(qintptr socket, TcpLink::Role role) {
    return new WindowsTcpLink(socket, role);
}
