#include "platform/winsock.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>

namespace {

// Error numbers as the classic control reports them; the window ignores them, but they
// make a trace of the error event readable.
constexpr int kErrConnectionRefused = 10061;
constexpr int kErrTimedOut = 10060;
constexpr int kErrHostNotFound = 11001;
constexpr int kErrAddressNotAvailable = 10049;

// The most one read takes, so one arrival. Nothing more is read until the window has taken
// it, so holding back data events really does push back on the terminal.
constexpr qsizetype kReadBufferBytes = 256 * 1024;
// What a DVR sends is dropped; this much per wake-up.
constexpr size_t kDiscardBytes = 16 * 1024;

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
// As QTcpServer had it.
constexpr int kListenBacklog = 50;

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

void armDeadPeerDetection(int fd, bool withUserTimeout) {
    setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
    if (withUserTimeout) {
        setIntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, int(kUserTimeoutMs));
    }
}

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

std::pair<QHostAddress, quint16> peerOf(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (fd < 0 || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return {};
    }
    QHostAddress address(reinterpret_cast<const sockaddr*>(&peer));
    const quint16 port =
        ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port
                                         : reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    return {address, port};
}

// Sends from the front of the queue until it is empty or the kernel takes no more; the
// front piece is sent from `offset` on. Returns the bytes sent, or -1 (errno set) when
// the peer is gone and nothing more can be delivered.
qint64 sendQueued(int fd, std::deque<QByteArray>& queue, qsizetype& offset) {
    qint64 sent = 0;
    while (!queue.empty()) {
        const QByteArray& front = queue.front();
        const ssize_t n =
            ::send(fd, front.constData() + offset, size_t(front.size() - offset), kSendFlags);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                break;
            }
            return -1;
        }
        sent += n;
        offset += n;
        if (offset < front.size()) {
            break;
        }
        queue.pop_front();
        offset = 0;
    }
    return sent;
}

// A connection closed with bytes still queued: it hands them over on its own, then ends
// with FIN, or is cut off after the bound when the peer does not take them.
class Lingerer : public QObject, private SocketHubClient {
public:
    Lingerer(int fd, std::deque<QByteArray> queue, qsizetype offset, SocketHub& hub)
        : QObject(&hub), fd_(fd), queue_(std::move(queue)), offset_(offset), hub_(&hub) {
        ++lingering;
        hub.watch(fd_, this, EPOLLOUT);
        QTimer::singleShot(Winsock::kConnectTimeoutMs * 3, this, [this] { finish(); });
    }
    ~Lingerer() override {
        if (fd_ >= 0) {
            if (hub_) {
                hub_->unwatch(fd_);
            }
            ::close(fd_);
        }
        --lingering;
    }

private:
    void onSocketEvents(std::uint32_t) override {
        // Done when all is out, or when the peer is gone and nothing more can be delivered.
        if (sendQueued(fd_, queue_, offset_) < 0 || queue_.empty()) {
            finish();
        }
    }
    void finish() {
        if (fd_ >= 0 && hub_) {
            hub_->unwatch(fd_);
        }
        deleteLater();
    }

    int fd_;
    std::deque<QByteArray> queue_;
    qsizetype offset_;
    QPointer<SocketHub> hub_;
};

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
    for (int request : std::as_const(requests_)) {
        ::close(request);
    }
    // Quietly: a half-gone object emits nothing.
    wasOverLimit_ = false;
    releaseSocket(false);
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
        dialFailed(errorText(errno));
        return;
    }
    if (::connect(dialFd_, reinterpret_cast<const sockaddr*>(&peer), peerLength) != 0 &&
        errno != EINPROGRESS) {
        dialFailed(errorText(errno));
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
        dialFailed(errorText(result));
        return;
    }
    // Receipts are small and each must reach the DVR's overlay at once.
    setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    adoptLink(fd, true);
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
    armDeadPeerDetection(fd_, true);
    state_ = sckConnected;
    updateInterest();
    emit connected();
}

// A listening port in the hub. Accepted descriptors go straight to the owner; QTcpServer
// would wrap each in a QTcpSocket that reads into a buffer of its own, and its notifier sat
// in the event loop's poll set, so every wake-up, each piece's included, walked all 16 ports.
class PortListener : public QObject, private SocketHubClient {
public:
    PortListener(int fd, std::function<void(int)> onIncoming, QObject* parent)
        : QObject(parent),
          fd_(fd),
          onIncoming_(std::move(onIncoming)),
          hub_(&SocketHub::forThread()) {
        hub_->watch(fd_, this, EPOLLIN);
        resume_.setSingleShot(true);
        resume_.setInterval(kAcceptPauseMs);
        connect(&resume_, &QTimer::timeout, this, [this] {
            if (fd_ >= 0 && hub_) {
                hub_->watch(fd_, this, EPOLLIN);
            }
        });
    }
    ~PortListener() override { close(); }

    // Frees the port at once, so it can be opened again from the same handler.
    void close() {
        if (fd_ < 0) {
            return;
        }
        resume_.stop();
        if (hub_) {
            hub_->unwatch(fd_);
        }
        ::close(std::exchange(fd_, -1));
    }

private:
    // Out of descriptors, a waiting connection would be reported again at once, forever:
    // the port rests this long instead, and takes connections again by itself.
    static constexpr int kAcceptPauseMs = 1000;
    static constexpr int kAcceptsPerPass = 64;

    void onSocketEvents(std::uint32_t) override {
        // The owner may close this listener from its handler.
        for (int i = 0; i < kAcceptsPerPass && fd_ >= 0; ++i) {
            const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                onIncoming_(fd);
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (hub_) {
                    hub_->unwatch(fd_);
                }
                resume_.start();
                return;
            }
            // EAGAIN: all taken. Anything else (a connection reset while it waited) ends
            // this pass; the rest are reported again.
            if (errno != ECONNABORTED && errno != EINTR) {
                return;
            }
        }
    }

    int fd_;
    std::function<void(int)> onIncoming_;
    QPointer<SocketHub> hub_;
    QTimer resume_;
};

namespace {

// QHostAddress::Any is dual-stack, as with QTcpServer: IPv6 that also takes IPv4, or IPv4
// alone where the machine has no IPv6.
int openListeningPort(const QHostAddress& address, quint16 port) {
    const bool any = address == QHostAddress(QHostAddress::Any);
    for (const int family : {AF_INET6, AF_INET}) {
        if ((!any && address.protocol() == QAbstractSocket::IPv4Protocol && family == AF_INET6) ||
            (!any && address.protocol() != QAbstractSocket::IPv4Protocol && family == AF_INET)) {
            continue;
        }
        const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            continue;
        }
        setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (family == AF_INET6) {
            setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, any ? 0 : 1);
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port);
            if (!any) {
                const Q_IPV6ADDR bytes = address.toIPv6Address();
                std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
                in6->sin6_scope_id = address.scopeId().toUInt();
            }
            length = sizeof *in6;
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
            in4->sin_family = AF_INET;
            in4->sin_port = htons(port);
            in4->sin_addr.s_addr = htonl(any ? INADDR_ANY : address.toIPv4Address());
            length = sizeof *in4;
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0 &&
            ::listen(fd, kListenBacklog) == 0) {
            return fd;
        }
        const int failure = errno;
        ::close(fd);
        // A port in use on IPv6 is in use for IPv4 too; only a missing IPv6 falls back.
        if (failure != EAFNOSUPPORT && failure != EADDRNOTAVAIL) {
            return -1;
        }
    }
    return -1;
}

}  // namespace

void Winsock::Listen() {
    releaseSocket(false);
    closeServer();
    state_ = sckClosed;
    if (localPort_ < 1 || localPort_ > 65535) {
        return;
    }
    const int fd = openListeningPort(listenAddress_, quint16(localPort_));
    if (fd < 0) {
        return;
    }
    listener_ = new PortListener(
        fd, [this](int incoming) { onIncoming(incoming); }, this);
    state_ = sckListening;
}

void Winsock::onIncoming(int fd) {
    if (!listener_) {
        ::close(fd);
        return;
    }
    const qint32 id = nextRequestId_;
    nextRequestId_ = followingRequestId(nextRequestId_);
    requests_.insert(id, fd);
    emit connectionRequest(id);
    // Not accepted: turned away at once.
    if (requests_.contains(id)) {
        ::close(requests_.take(id));
    }
}

void Winsock::Accept(qint32 requestId) {
    const int fd = requests_.value(requestId, -1);
    if (fd < 0) {
        return;
    }
    requests_.remove(requestId);
    releaseSocket(false);
    armDeadPeerDetection(fd, false);
    adoptLink(fd, false);
    state_ = sckConnected;
    updateInterest();
    // Bytes or an end that arrived while the request waited are still in the kernel; the
    // hub reports them once the caller's handler has returned.
}

void Winsock::adoptLink(int fd, bool dialled) {
    fd_ = fd;
    dialled_ = dialled;
    hub_ = &SocketHub::forThread();
    interest_ = 0;
    inBytes_ = 0;
    shutdownWhenSent_ = false;
}

void Winsock::updateInterest() {
    // Reading stops while an arrival waits to be taken or the sink is too full: then the
    // bytes stay in the kernel and TCP slows the terminal down. Out of the set altogether,
    // as the kernel reports a hang-up even to a descriptor watched for nothing.
    // After the end nothing is watched: Close() lets the descriptor go.
    std::uint32_t wanted = 0;
    if (state_ == sckConnected && fd_ >= 0) {
        if (!heldBack_ && inBytes_ == 0) {
            wanted |= EPOLLIN;
        }
        if (!outQueue_.empty()) {
            wanted |= EPOLLOUT;
        }
    }
    // Unchanged on every piece: decided before anything else is looked at.
    if (wanted == interest_ || !hub_) {
        return;
    }
    if (interest_ == 0) {
        hub_->watch(fd_, this, wanted);
    } else if (wanted == 0) {
        hub_->unwatch(fd_);
    } else {
        hub_->modify(fd_, wanted);
    }
    interest_ = wanted;
}

void Winsock::onSocketEvents(std::uint32_t events) {
    const quint64 generation = generation_;
    if (events & EPOLLOUT || ((events & (EPOLLERR | EPOLLHUP)) && !(interest_ & EPOLLIN))) {
        onWritable();
        if (generation != generation_) {
            return;
        }
    }
    if ((interest_ & EPOLLIN) && (events & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
        onReadable();
    }
}

void Winsock::onReadable() {
    if (state_ != sckConnected) {
        return;
    }
    if (dialled_) {
        // A DVR has nothing to say; do not let it pile up. Only its end matters.
        char discard[kDiscardBytes];
        const ssize_t n = ::recv(fd_, discard, sizeof discard, MSG_DONTWAIT);
        if (n == 0) {
            onSocketGone(QStringLiteral("Connection closed"));
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            onSocketGone(errorText(errno));
        }
        return;
    }
    if (sink_ && sink_->BytesQueued() > kMaxQueuedBytes) {
        heldBack_ = true;
        updateInterest();
        return;
    }
    if (!inBuffer_.isDetached()) {
        // Still shared with someone who kept an earlier arrival: leave it to them.
        inBuffer_ = QByteArray(kReadBufferBytes, Qt::Uninitialized);
    } else {
        inBuffer_.resize(kReadBufferBytes);  // within its capacity: no allocation
    }
    const ssize_t n = ::recv(fd_, inBuffer_.data(), size_t(kReadBufferBytes), 0);
    if (n == 0) {
        onSocketGone(QStringLiteral("Connection closed"));
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            onSocketGone(errorText(errno));
        }
        return;
    }
    inBuffer_.resize(n);
    inBytes_ = n;
    const quint64 generation = generation_;
    announceArrival(qint32(n));
    if (generation == generation_ && inBytes_ > 0) {
        updateInterest();  // not taken: read nothing more until it is
    }
}

void Winsock::announceArrival(qint32 bytes) {
    if (arrivalHandler_) {
        arrivalHandler_(bytes);
    } else {
        emit dataArrival(bytes);
    }
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
    if (inBytes_ > 0) {
        heldBack_ = false;
        announceArrival(qint32(inBytes_));
        if (generation != generation_ || state_ != sckConnected) {
            return;
        }
    }
    state_ = sckClosing;
    updateInterest();
    emit closed();
}

void Winsock::onWritable() {
    const qint64 sent = sendQueued(fd_, outQueue_, outOffset_);
    if (sent < 0) {
        onSocketGone(errorText(errno));
        return;
    }
    queuedBytes_ -= sent;
    if (outQueue_.empty() && shutdownWhenSent_) {
        shutdownWhenSent_ = false;
        ::shutdown(fd_, SHUT_WR);
    }
    updateInterest();
    if (sent > 0) {
        onBytesWritten();
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
                heldBack_ = false;
                updateInterest();
            }
        });
    }
}

void Winsock::GetData(QByteArray& data) {
    if (inBytes_ == 0) {
        data.clear();
        return;
    }
    data = inBuffer_;
    inBytes_ = 0;
    updateInterest();
}

void Winsock::SendData(const QByteArray& data) {
    sendPieces(data, {});
}

void Winsock::SendLine(const QByteArray& text) {
    sendPieces(text, "\r\n");
}

void Winsock::sendPieces(QByteArrayView first, QByteArrayView second) {
    if (state_ != sckConnected || fd_ < 0) {
        throw SocketError("socket is not connected");
    }
    // Straight to the kernel while nothing waits before it; both parts in one call, so a
    // line costs one system call and no copy.
    size_t sent = 0;
    if (outQueue_.empty()) {
        iovec parts[2] = {{const_cast<char*>(first.data()), size_t(first.size())},
                          {const_cast<char*>(second.data()), size_t(second.size())}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = second.isEmpty() ? 1 : 2;
        const ssize_t n = ::sendmsg(fd_, &message, kSendFlags);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            throw SocketError(std::strerror(errno));
        }
        sent = n > 0 ? size_t(n) : 0;
        if (sent == size_t(first.size() + second.size())) {
            return;  // the usual case: nothing queued before or after
        }
    }
    // What the kernel did not take waits here, behind nothing, in order.
    for (QByteArrayView part : {first, second}) {
        const size_t skip = std::min(sent, size_t(part.size()));
        sent -= skip;
        if (skip < size_t(part.size())) {
            outQueue_.emplace_back(part.sliced(qsizetype(skip)).toByteArray());
            queuedBytes_ += part.size() - qsizetype(skip);
        }
    }
    updateInterest();
    if (BytesQueued() > kMaxQueuedBytes) {
        wasOverLimit_ = true;
    }
}

void Winsock::Shutdown() {
    if (state_ != sckConnected || fd_ < 0) {
        Close();
        return;
    }
    if (outQueue_.empty()) {
        ::shutdown(fd_, SHUT_WR);
    } else {
        shutdownWhenSent_ = true;  // FIN goes out once the last byte has been written
    }
}

QHostAddress Winsock::RequestPeerAddress(qint32 requestId) const {
    return peerOf(requests_.value(requestId, -1)).first;
}

QString Winsock::PeerName() const {
    if (fd_ < 0 || state_ != sckConnected) {
        return {};
    }
    auto [address, port] = peerOf(fd_);
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        address = QHostAddress(v4);
    }
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(port)
               : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

int Winsock::Lingering() {
    return lingering;
}

qint64 Winsock::BytesQueued() const {
    return (fd_ >= 0 && state_ == sckConnected) ? queuedBytes_ : 0;
}

void Winsock::Close() {
    attemptPacer_.stop();
    connectTimeout_.stop();
    closeServer();
    releaseSocket(state_ == sckConnected || state_ == sckClosing);
    state_ = sckClosed;
}

void Winsock::closeServer() {
    if (!listener_) {
        return;
    }
    // Possibly inside the listener's own accept loop: it is deleted once that has returned.
    listener_->close();
    listener_->deleteLater();
    listener_ = nullptr;
}

void Winsock::releaseSocket(bool flush) {
    ++generation_;
    heldBack_ = false;
    abandonDial();
    if (wasOverLimit_) {
        wasOverLimit_ = false;
        emit drained();
    }
    inBytes_ = 0;
    if (fd_ < 0) {
        return;
    }
    const int fd = std::exchange(fd_, -1);
    if (hub_ && interest_ != 0) {
        hub_->unwatch(fd);
    }
    interest_ = 0;
    std::deque<QByteArray> queue = std::exchange(outQueue_, {});
    const qsizetype offset = std::exchange(outOffset_, 0);
    queuedBytes_ = 0;
    shutdownWhenSent_ = false;
    if (flush && !queue.empty() && hub_) {
        // An orderly close: what is queued still goes out, then FIN; the bound is the
        // Lingerer's, for a peer that never takes the rest.
        new Lingerer(fd, std::move(queue), offset, *hub_);
    } else {
        // What the kernel already holds still goes out, then FIN; unread bytes make it a reset.
        ::close(fd);
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
