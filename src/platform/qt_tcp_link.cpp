#include "platform/qt_tcp_link.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>

#include "platform/socket_options.h"

Q_LOGGING_CATEGORY(lcSocket, "poskavelin.socket")

namespace {

// Qt reads ahead into a buffer of its own. Bounded, the rest stays in the kernel, so a
// terminal whose text the window has not taken, or whose DVR is far behind, is slowed down by
// TCP; at this size one wake-up still takes what a fast terminal sends in one go.
constexpr qint64 kReadAheadBytes = 256 * 1024;

int lingering = 0;

// A connection as a QTcpSocket. Qt's signals arrive from the event loop; ends and errors are
// kept and told through linkReadable while the owner reads, so the bytes that came before a
// FIN are always taken first.
class QtTcpLink : public TcpLink {
public:
    QtTcpLink(QTcpSocket* socket, Role role)
        // Lives on its own while it hands over after close(), and dies with the application.
        : TcpLink(QCoreApplication::instance()), socket_(socket) {
        socket_->setParent(this);
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
        if (role == Role::Dialled) {
            // Receipts are small and each must reach the DVR's overlay at once, not wait
            // for Nagle to gather more.
            socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        }
        socket_options::detectDeadPeer(socket_->socketDescriptor(), role == Role::Dialled);
    }

    ~QtTcpLink() override {
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
        if (broken_ || ended_ || socket_->state() != QAbstractSocket::ConnectedState) {
            throw SocketError("socket is not connected");
        }
        const bool backlog = socket_->bytesToWrite() > 0;
        inSend_ = true;
        socket_->write(first.data(), first.size());
        if (!second.isEmpty()) {
            socket_->write(second.data(), second.size());
        }
        // Into the kernel now rather than on the loop's next pass, which would cost every
        // piece a wake-up. Behind a backlog the kernel is full anyway, and Qt goes on
        // writing when it has room, reporting it from the loop.
        if (!backlog) {
            socket_->flush();
        }
        inSend_ = false;
        if (broken_ || ended_) {
            // The sender learns it here; a reader hears it as the end, as usual.
            if (reading_) {
                tellLater();
            }
            throw SocketError(why_.toStdString());
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
        if (!inSend_ && socket_->bytesToWrite() > 0) {
            // Qt writes one block per wake-up; a queue drains faster handed over whole,
            // as far as the kernel takes it.
            socket_->flush();
        }
        if (finWhenSent_ && socket_->bytesToWrite() == 0) {
            finWhenSent_ = false;
            finishSending();
        }
        // Inside send() only the bytes of an empty queue go out, which the owner need not
        // hear of: it waits for bytes written only while a queue drains.
        if (events_ && !inSend_) {
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
        if (!broken_ && !ended_) {
            why_ = socket_->errorString();
        }
        // Windows reports a reset as a close too; either way the peer is gone.
        if (error == QAbstractSocket::RemoteHostClosedError) {
            ended_ = true;
        } else {
            broken_ = true;
        }
        if (!events_ || inSend_) {
            return;  // a failing send throws instead
        }
        if (reading_) {
            tellLater();
        } else if (broken_ || socket_->bytesToWrite() > 0) {
            // Without a reader it is the writer's to find, as a failed send would.
            events_->linkBroken(why_);
        }
    }

    void finishSending() {
        if (socket_->state() == QAbstractSocket::ConnectedState) {
            socket_options::finishSending(socket_->socketDescriptor());
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
    bool inSend_ = false;
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

TcpLink* linkFor(QTcpSocket* socket, TcpLink::Role role) {
    return new QtTcpLink(socket, role);
}
