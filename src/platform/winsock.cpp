#include "platform/winsock.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

// Error numbers as the classic control reports them; the window ignores them, but they
// make a trace of the error event readable.
constexpr int kErrConnectionRefused = 10061;
constexpr int kErrTimedOut = 10060;
constexpr int kErrHostNotFound = 11001;
constexpr int kErrAddressNotAvailable = 10049;

// A terminal's bytes beyond this stay in the kernel until the window has taken what is
// buffered, so holding back data events really does push back on the terminal.
constexpr qint64 kReadBufferBytes = 256 * 1024;

// A link whose peer vanished without a FIN or reset (cable pulled, power cut) would look
// alive for hours; keepalive probes find it in about 10 + 5 * 3 seconds.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
// Unacknowledged data to a DVR that vanished is given up after this, so the link is
// rebuilt instead of queueing receipts into a dead connection.
constexpr unsigned kUserTimeoutMs = 30000;

int lingering = 0;

// A dotted address is read as decimal in every part, as the address check reads it:
// the C library would take '010.0.0.5' as octal and connect somewhere else.
std::optional<QHostAddress> parseDottedDecimal(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4) {
        return std::nullopt;
    }
    quint32 address = 0;
    for (const QString& raw : parts) {
        const QString part = raw.trimmed();
        if (part.isEmpty()) {
            return std::nullopt;
        }
        // Any number of leading zeros, as the address check allows; the value is capped
        // as it grows, so a long digit run cannot overflow.
        uint value = 0;
        for (QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
                return std::nullopt;
            }
            value = value * 10 + uint(c.unicode() - '0');
            if (value > 255) {
                return std::nullopt;
            }
        }
        address = (address << 8) | value;
    }
    return QHostAddress(address);
}

std::optional<QHostAddress> parseAddress(const QString& text) {
    if (auto dotted = parseDottedDecimal(text)) {
        return dotted;
    }
    QHostAddress literal;
    if (!text.contains(QLatin1Char('.')) && literal.setAddress(text.trimmed())) {
        return literal;  // an IPv6 literal; never a name lookup
    }
    return std::nullopt;
}

void setIntOption(int fd, int level, int name, int value) {
    // Best effort: a kernel without one of these options still gets the others.
    ::setsockopt(fd, level, name, &value, sizeof value);
}

void armDeadPeerDetection(QTcpSocket* socket, bool withUserTimeout) {
    const int fd = int(socket->socketDescriptor());
    if (fd < 0) {
        return;
    }
    setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
    if (withUserTimeout) {
        setIntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, int(kUserTimeoutMs));
    }
}

}  // namespace

qint32 followingRequestId(qint32 id) {
    // Ids stay positive and never repeat within any span a request could wait in.
    return id >= std::numeric_limits<qint32>::max() ? 1 : id + 1;
}

Winsock::Winsock(QObject* parent) : QObject(parent) {
    attemptPacer_.setSingleShot(true);
    // The spacing is a floor: a coarse timer may fire up to 5 % early.
    attemptPacer_.setTimerType(Qt::PreciseTimer);
    connect(&attemptPacer_, &QTimer::timeout, this, &Winsock::startAttempt);
    connectTimeout_.setSingleShot(true);
    connectTimeout_.setInterval(kConnectTimeoutMs);
    connect(&connectTimeout_, &QTimer::timeout, this, [this] {
        if (state_ == sckConnecting) {
            releaseSocket(false);
            state_ = sckError;
            raiseErrorLater(kErrTimedOut, QStringLiteral("Connection timed out"));
        }
    });
}

Winsock::~Winsock() {
    if (dialFd_ >= 0) {
        delete dialNotifier_;
        ::close(dialFd_);
    }
    // Children are deleted after this body; their last signals must not reach a half-gone object.
    if (socket_) {
        socket_->disconnect(this);
    }
    if (server_) {
        server_->disconnect(this);
    }
    for (QTcpSocket* request : std::as_const(requests_)) {
        request->disconnect(this);
    }
}

void Winsock::Connect() {
    // A second Connect replaces the first: one attempt in flight, never two.
    attemptPacer_.stop();
    connectTimeout_.stop();
    releaseSocket(false);
    closeServer();
    state_ = sckConnecting;
    // Rounded up to whole milliseconds, so the spacing is never cut short by a fraction.
    constexpr qint64 kSpacingNs = qint64(kMinAttemptSpacingMs) * 1000000;
    const qint64 sinceLastNs =
        lastAttemptStart_.isValid() ? lastAttemptStart_.nsecsElapsed() : kSpacingNs;
    if (sinceLastNs < kSpacingNs) {
        attemptPacer_.start(int((kSpacingNs - sinceLastNs + 999999) / 1000000));
    } else {
        startAttempt();
    }
}

void Winsock::startAttempt() {
    abandonDial();
    lastAttemptStart_.start();
    const auto address = parseAddress(remoteHost_);
    if (!address) {
        state_ = sckError;
        raiseErrorLater(kErrHostNotFound, QStringLiteral("Host not found: ") + remoteHost_);
        return;
    }
    if (remotePort_ < 1 || remotePort_ > 65535) {
        state_ = sckError;
        raiseErrorLater(kErrAddressNotAvailable,
                        QStringLiteral("Port out of range: %1").arg(remotePort_));
        return;
    }
    // Qt learns how a connect ended by calling connect() again on the same socket; when
    // the DVR's reset got there first, that call starts a new handshake, so a DVR that
    // accepts and resets at once is dialled again and again, unpaced and unseen, until
    // the attempt times out. Dial once here and hand Qt only a finished connection.
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    if (address->protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&peer);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(quint16(remotePort_));
        const Q_IPV6ADDR bytes = address->toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        in6->sin6_scope_id = address->scopeId().toUInt();
        peerLength = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&peer);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(quint16(remotePort_));
        in4->sin_addr.s_addr = htonl(address->toIPv4Address());
        peerLength = sizeof *in4;
    }
    dialFd_ = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (dialFd_ < 0) {
        dialFailed(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (::connect(dialFd_, reinterpret_cast<const sockaddr*>(&peer), peerLength) != 0 &&
        errno != EINPROGRESS) {
        dialFailed(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    // Even a connect that finished at once is reported from the event loop, never from
    // inside Connect().
    dialNotifier_ = new QSocketNotifier(dialFd_, QSocketNotifier::Write, this);
    connect(dialNotifier_, &QSocketNotifier::activated, this, &Winsock::finishDial);
    connectTimeout_.start();
}

void Winsock::finishDial() {
    if (dialFd_ < 0 || state_ != sckConnecting) {
        return;
    }
    const int fd = std::exchange(dialFd_, -1);
    abandonDial();
    int result = 0;
    socklen_t length = sizeof result;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
        result = errno;
    }
    if (result != 0) {
        ::close(fd);
        dialFailed(QString::fromLocal8Bit(std::strerror(result)));
        return;
    }
    socket_ = new QTcpSocket(this);
    if (!socket_->setSocketDescriptor(fd)) {
        ::close(fd);
        releaseSocket(false);
        dialFailed(QStringLiteral("Connection closed"));
        return;
    }
    // Receipts are small and each must reach the DVR's overlay at once.
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket_, &QTcpSocket::bytesWritten, this, &Winsock::onBytesWritten);
    connect(socket_, &QTcpSocket::readyRead, this, [this] {
        socket_->readAll();  // a DVR has nothing to say; do not let it pile up
    });
    connect(socket_, &QTcpSocket::errorOccurred, this,
            [this] { onSocketGone(socket_->errorString()); });
    connect(socket_, &QTcpSocket::disconnected, this,
            [this] { onSocketGone(QStringLiteral("Connection closed")); });
    onConnected();
}

void Winsock::abandonDial() {
    if (dialNotifier_) {
        dialNotifier_->setEnabled(false);
        dialNotifier_->deleteLater();
        dialNotifier_ = nullptr;
    }
    if (dialFd_ >= 0) {
        ::close(std::exchange(dialFd_, -1));
    }
}

void Winsock::dialFailed(const QString& reason) {
    abandonDial();
    connectTimeout_.stop();
    ++generation_;
    state_ = sckError;
    raiseErrorLater(kErrConnectionRefused, reason);
}

void Winsock::onConnected() {
    if (state_ != sckConnecting) {
        return;
    }
    connectTimeout_.stop();
    armDeadPeerDetection(socket_, true);
    state_ = sckConnected;
    emit connected();
}

void Winsock::Listen() {
    releaseSocket(false);
    closeServer();
    state_ = sckClosed;
    if (localPort_ < 1 || localPort_ > 65535) {
        return;
    }
    auto* server = new QTcpServer(this);
    if (!server->listen(listenAddress_, quint16(localPort_))) {
        delete server;
        return;
    }
    server_ = server;
    connect(server_, &QTcpServer::newConnection, this, &Winsock::onNewConnection);
    state_ = sckListening;
}

void Winsock::onNewConnection() {
    while (server_ && server_->hasPendingConnections()) {
        QTcpSocket* request = server_->nextPendingConnection();
        // Taken out of the server's hands: closing the listener must not delete it
        // before the window had the chance to accept it.
        request->setParent(this);
        request->setReadBufferSize(kReadBufferBytes);
        const qint32 id = nextRequestId_;
        nextRequestId_ = followingRequestId(nextRequestId_);
        requests_.insert(id, request);
        emit connectionRequest(id);
        if (QTcpSocket* unaccepted = requests_.take(id)) {
            unaccepted->abort();
            unaccepted->deleteLater();
        }
    }
}

void Winsock::Accept(qint32 requestId) {
    QTcpSocket* request = requests_.take(requestId);
    if (!request) {
        return;
    }
    releaseSocket(false);
    adoptSocket(request);
}

void Winsock::adoptSocket(QTcpSocket* socket) {
    socket_ = socket;
    state_ = sckConnected;
    armDeadPeerDetection(socket_, false);
    connect(socket_, &QTcpSocket::readyRead, this, &Winsock::onReadyRead);
    connect(socket_, &QTcpSocket::bytesWritten, this, &Winsock::onBytesWritten);
    connect(socket_, &QTcpSocket::errorOccurred, this,
            [this] { onSocketGone(socket_->errorString()); });
    connect(socket_, &QTcpSocket::disconnected, this,
            [this] { onSocketGone(QStringLiteral("Connection closed")); });
    // Bytes or an end that arrived while the request waited produced their signals
    // before anyone listened; look again once the caller's handler has returned.
    const quint64 generation = generation_;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation != generation_ || state_ != sckConnected) {
            return;
        }
        if (socket_->state() != QAbstractSocket::ConnectedState) {
            onSocketGone(QStringLiteral("Connection closed"));
        } else if (socket_->bytesAvailable() > 0) {
            onReadyRead();
        }
    });
}

void Winsock::onSocketGone(const QString& reason) {
    if (state_ == sckConnecting) {
        connectTimeout_.stop();
        releaseSocket(false);
        state_ = sckError;
        raiseErrorLater(kErrConnectionRefused, reason);
        return;
    }
    if (state_ != sckConnected) {
        return;
    }
    const quint64 generation = generation_;
    // What the peer sent before it left is still a receipt: hand it over before the end.
    if (socket_->bytesAvailable() > 0) {
        heldBack_ = false;
        emit dataArrival(qint32(qMin<qint64>(socket_->bytesAvailable(), INT32_MAX)));
        if (generation != generation_ || state_ != sckConnected) {
            return;
        }
    }
    state_ = sckClosing;
    emit closed();
}

void Winsock::onReadyRead() {
    if (state_ != sckConnected || !socket_) {
        return;
    }
    if (sink_ && sink_->BytesQueued() > kMaxQueuedBytes) {
        heldBack_ = true;
        return;
    }
    heldBack_ = false;
    const qint64 available = socket_->bytesAvailable();
    if (available > 0) {
        emit dataArrival(qint32(qMin<qint64>(available, INT32_MAX)));
    }
}

void Winsock::onBytesWritten() {
    if (wasOverLimit_ && BytesQueued() <= kMaxQueuedBytes) {
        wasOverLimit_ = false;
        emit drained();
    }
}

void Winsock::throttleBy(Winsock* sink) {
    if (sink_) {
        sink_->disconnect(this);
    }
    sink_ = sink;
    if (sink_) {
        connect(sink_, &Winsock::drained, this, [this] {
            if (heldBack_) {
                onReadyRead();
            }
        });
    }
}

void Winsock::GetData(QByteArray& data) {
    data = socket_ ? socket_->readAll() : QByteArray();
}

void Winsock::SendData(const QByteArray& data) {
    if (state_ != sckConnected || !socket_) {
        throw SocketError("socket is not connected");
    }
    // Straight to the kernel while Qt's queue is empty: QAbstractSocket's buffered write()
    // arms the write notifier and flush() disarms it, and under the glib event dispatcher
    // each of those is an eventfd write plus an extra loop pass, on every receipt line.
    qsizetype sent = 0;
    if (socket_->bytesToWrite() == 0) {
        const ssize_t n = ::send(int(socket_->socketDescriptor()), data.constData(),
                                 size_t(data.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            throw SocketError(std::strerror(errno));
        }
        sent = n > 0 ? qsizetype(n) : 0;
    }
    // What the kernel did not take goes through Qt's queue, behind nothing, in order.
    if (sent < data.size()) {
        const QByteArray rest = data.sliced(sent);
        if (socket_->write(rest) != rest.size()) {
            throw SocketError(socket_->errorString().toStdString());
        }
        socket_->flush();
    }
    if (BytesQueued() > kMaxQueuedBytes) {
        wasOverLimit_ = true;
    }
}

void Winsock::Shutdown() {
    if (state_ != sckConnected || !socket_) {
        Close();
        return;
    }
    socket_->flush();
    if (socket_->bytesToWrite() == 0) {
        ::shutdown(int(socket_->socketDescriptor()), SHUT_WR);
        return;
    }
    // Still queued: FIN goes out once the last byte has been written.
    QPointer<QTcpSocket> socket = socket_;
    auto* once = new QObject(socket_);
    connect(socket_, &QTcpSocket::bytesWritten, once, [socket, once] {
        if (socket && socket->bytesToWrite() == 0) {
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
            once->deleteLater();
        }
    });
}

QHostAddress Winsock::RequestPeerAddress(qint32 requestId) const {
    const QTcpSocket* request = requests_.value(requestId);
    return request ? request->peerAddress() : QHostAddress();
}

QString Winsock::PeerName() const {
    if (!socket_ || state_ != sckConnected) {
        return {};
    }
    QHostAddress address = socket_->peerAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        address = QHostAddress(v4);
    }
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(socket_->peerPort())
               : QStringLiteral("%1:%2").arg(address.toString()).arg(socket_->peerPort());
}

int Winsock::Lingering() {
    return lingering;
}

qint64 Winsock::BytesQueued() const {
    return (socket_ && state_ == sckConnected) ? socket_->bytesToWrite() : 0;
}

void Winsock::Close() {
    attemptPacer_.stop();
    connectTimeout_.stop();
    closeServer();
    releaseSocket(state_ == sckConnected || state_ == sckClosing);
    state_ = sckClosed;
}

void Winsock::closeServer() {
    if (!server_) {
        return;
    }
    // Possibly inside the server's own signal: it is deleted once that has returned.
    server_->disconnect(this);
    server_->close();
    server_->deleteLater();
    server_ = nullptr;
}

void Winsock::releaseSocket(bool flush) {
    ++generation_;
    heldBack_ = false;
    abandonDial();
    if (wasOverLimit_) {
        wasOverLimit_ = false;
        emit drained();
    }
    if (!socket_) {
        return;
    }
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    socket->disconnect(this);
    if (flush && socket->state() == QAbstractSocket::ConnectedState) {
        // An orderly close: what is queued still goes out, then FIN. The socket frees
        // itself; the timer bounds a peer that never takes the rest.
        ++lingering;
        connect(socket, &QObject::destroyed, [] { --lingering; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kConnectTimeoutMs * 3, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->disconnectFromHost();
    } else {
        socket->abort();
        socket->deleteLater();
    }
}

void Winsock::raiseErrorLater(int number, const QString& description) {
    // Never inside the call that caused it: the error handler reconnects, and a
    // synchronous error would recurse through it.
    const quint64 generation = generation_;
    QTimer::singleShot(0, this, [this, generation, number, description] {
        if (generation == generation_ && state_ == sckError) {
            emit error(number, description);
        }
    });
}
