#include "platform/winsock.h"

#include <QTimer>
#include <limits>

#include "platform/ip_address.h"

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
constexpr qsizetype kDiscardBytes = 16 * 1024;

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
    for (TcpLink* request : std::as_const(requests_)) {
        request->close(false);
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
    const auto address = ip_address::parseDialTarget(remoteHost_);
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
    const quint64 generation = generation_;
    dialer_ = TcpDialer::dial(
        *address, quint16(remotePort_),
        [this, generation](TcpLink* link) {
            if (generation != generation_ || state_ != sckConnecting) {
                link->close(false);
                return;
            }
            onDialled(link);
        },
        [this, generation](const QString& reason) {
            if (generation == generation_) {
                dialFailed(reason);
            }
        },
        this);
    connectTimeout_.start();
}

void Winsock::onDialled(TcpLink* link) {
    abandonDial();
    connectTimeout_.stop();
    adoptLink(link, true);
    state_ = sckConnected;
    updateReading();
    emit connected();
}

void Winsock::abandonDial() {
    if (dialer_) {
        std::exchange(dialer_, nullptr)->abandon();
    }
}

void Winsock::dialFailed(const QString& reason) {
    abandonDial();
    connectTimeout_.stop();
    ++generation_;
    state_ = sckError;
    raiseErrorLater(kErrConnectionRefused, reason);
}

void Winsock::Listen() {
    releaseSocket(false);
    closeServer();
    state_ = sckClosed;
    const TcpListener::Result opened = TcpListener::open(
        listenAddress_, localPort_, [this](TcpLink* incoming) { onIncoming(incoming); }, this);
    listenFailure_ = opened.failure;
    listenFailureText_ = opened.reason;
    listener_ = opened.listener;
    if (listener_) {
        state_ = sckListening;
    }
}

void Winsock::onIncoming(TcpLink* link) {
    if (!listener_) {
        link->close(false);
        return;
    }
    const qint32 id = nextRequestId_;
    nextRequestId_ = followingRequestId(nextRequestId_);
    requests_.insert(id, link);
    emit connectionRequest(id);
    // Not accepted: turned away at once.
    if (TcpLink* unaccepted = requests_.take(id)) {
        unaccepted->close(false);
    }
}

void Winsock::Accept(qint32 requestId) {
    TcpLink* link = requests_.take(requestId);
    if (!link) {
        return;
    }
    releaseSocket(false);
    adoptLink(link, false);
    state_ = sckConnected;
    // Bytes or an end that arrived while the request waited are still in the kernel; they
    // are reported once the caller's handler has returned.
    updateReading();
}

void Winsock::adoptLink(TcpLink* link, bool dialled) {
    link_ = link;
    link_->setEvents(this);
    dialled_ = dialled;
    inBytes_ = 0;
}

void Winsock::updateReading() {
    // Reading stops while an arrival waits to be taken or the sink is too full: then the
    // bytes stay in the kernel and TCP slows the terminal down.
    if (link_) {
        link_->setReading(state_ == sckConnected && !heldBack_ && !paused_ && inBytes_ == 0);
    }
}

void Winsock::linkReadable() {
    if (state_ != sckConnected) {
        return;
    }
    if (dialled_ && !keepIncoming_) {
        discardDvrBytes();
        return;
    }
    if (sink_ && sink_->BytesQueued() > kMaxQueuedBytes) {
        heldBack_ = true;
        updateReading();
        return;
    }
    if (!inBuffer_.isDetached()) {
        // Still shared with someone who kept an earlier arrival: leave it to them.
        inBuffer_ = QByteArray(kReadBufferBytes, Qt::Uninitialized);
    } else {
        inBuffer_.resize(kReadBufferBytes);  // within its capacity: no allocation
    }
    QString why;
    const qsizetype n = link_->receive(inBuffer_.data(), kReadBufferBytes, &why);
    if (n == 0) {
        onSocketGone();
        return;
    }
    if (n == TcpLink::kBroken) {
        onSocketGone();
        return;
    }
    if (n < 0) {
        return;
    }
    inBuffer_.resize(n);
    inBytes_ = n;
    const quint64 generation = generation_;
    announceArrival(qint32(n));
    if (generation == generation_ && inBytes_ > 0) {
        updateReading();  // not taken: read nothing more until it is
    }
}

void Winsock::discardDvrBytes() {
    // A DVR has nothing to say; do not let it pile up. Only its end matters.
    char discard[kDiscardBytes];
    QString why;
    const qsizetype n = link_->receive(discard, kDiscardBytes, &why);
    if (n == 0) {
        onSocketGone();
    } else if (n == TcpLink::kBroken) {
        onSocketGone();
    }
}

void Winsock::announceArrival(qint32 bytes) {
    if (arrivalHandler_) {
        arrivalHandler_(bytes);
    } else {
        emit dataArrival(bytes);
    }
}

void Winsock::linkBroken(const QString&) {
    // The closed event carries no reason.
    onSocketGone();
}

void Winsock::onSocketGone() {
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
    // After the end nothing is watched; Close() lets the connection go.
    updateReading();
    emit closed();
}

void Winsock::linkWritten(qint64) {
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
                updateReading();
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
    updateReading();
}

void Winsock::SendData(const QByteArray& data) {
    sendPieces(data, {});
}

void Winsock::SendLine(const QByteArray& text) {
    sendPieces(text, "\r\n");
}

void Winsock::sendPieces(QByteArrayView first, QByteArrayView second) {
    if (state_ != sckConnected || !link_) {
        throw SocketError("socket is not connected");
    }
    link_->send(first, second);
    if (link_->queuedBytes() > kMaxQueuedBytes) {
        wasOverLimit_ = true;
    }
}

void Winsock::Shutdown() {
    if (state_ != sckConnected || !link_) {
        Close();
        return;
    }
    link_->shutdownWhenSent();
}

QHostAddress Winsock::RequestPeerAddress(qint32 requestId) const {
    const TcpLink* request = requests_.value(requestId);
    return request ? request->peerAddress() : QHostAddress();
}

QString Winsock::PeerName() const {
    if (!link_ || state_ != sckConnected) {
        return {};
    }
    quint16 port = 0;
    const QHostAddress address = ip_address::plain(link_->peerAddress(&port));
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(port)
               : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

int Winsock::Lingering() {
    return lingeringLinks();
}

qint64 Winsock::BytesQueued() const {
    return (link_ && state_ == sckConnected) ? link_->queuedBytes() : 0;
}

void Winsock::Close() {
    attemptPacer_.stop();
    connectTimeout_.stop();
    closeServer();
    releaseSocket(state_ == sckConnected || state_ == sckClosing);
    state_ = sckClosed;
}

void Winsock::closeServer() {
    if (listener_) {
        // Possibly inside the listener's own accept loop: it goes once that has returned.
        std::exchange(listener_, nullptr)->close();
    }
}

void Winsock::releaseSocket(bool flush) {
    ++generation_;
    heldBack_ = false;
    paused_ = false;
    abandonDial();
    if (wasOverLimit_) {
        wasOverLimit_ = false;
        emit drained();
    }
    inBytes_ = 0;
    if (link_) {
        TcpLink* link = link_;
        link_ = nullptr;
        link->close(flush);
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
