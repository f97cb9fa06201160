#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>

#include "platform/tcp.h"

// The id after `id` for the connection requests of one socket; wraps to 1 after the
// largest qint32, as a bridge that runs for years may accept more than 2^31 terminals.
qint32 followingRequestId(qint32 id);

// The event-driven TCP socket the window uses for both sides of a channel: a client
// link to a DVR, or a listener that turns into the accepted connection of a terminal.
// It keeps the classic control's members, state numbers and events, the same on every
// operating system; the sockets beneath it are the platform's TcpLink, TcpListener and
// TcpDialer. A piece costs one wake-up, one read into a reused buffer and one send.
class Winsock : public QObject, private TcpLinkEvents {
    Q_OBJECT
public:
    enum StateValue {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckConnectionPending = 3,
        sckResolvingHost = 4,
        sckHostResolved = 5,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };

    // Attempts on one socket start at least this far apart, counted from the start of
    // the previous one: a refused connect fails in well under a millisecond here, and
    // reconnecting at once after every error would spin a core and flood the DVR.
    static constexpr int kMinAttemptSpacingMs = 1000;
    // An attempt that gets no answer ends as an error so a DVR that comes back is found soon.
    static constexpr int kConnectTimeoutMs = 10000;
    // While more than this waits unsent on the throttling socket, data events stop, so
    // the terminal's bytes stay in the kernel and TCP flow control slows it down.
    static constexpr qint64 kMaxQueuedBytes = 1 << 20;

    explicit Winsock(QObject* parent = nullptr);
    ~Winsock() override;

    void RemoteHost(const QString& host) { remoteHost_ = host; }
    QString RemoteHost() const { return remoteHost_; }
    void RemotePort(qint32 port) { remotePort_ = port; }
    qint32 RemotePort() const { return remotePort_; }
    void LocalPort(qint32 port) { localPort_ = port; }
    qint32 LocalPort() const { return localPort_; }
    int State() const { return state_; }

    // Starts an attempt to RemoteHost:RemotePort; the outcome comes as connected() or error().
    void Connect();
    // Opens LocalPort for incoming connections; State() reads 2 at once when that worked,
    // and ListenFailure() says why when it did not.
    void Listen();
    TcpListener::Failure ListenFailure() const { return listenFailure_; }
    // The system's words for the last failed Listen.
    QString ListenFailureText() const { return listenFailureText_; }
    // Takes the connection announced by connectionRequest(id) as this socket's connection,
    // also after Close() has ended the listening.
    void Accept(qint32 requestId);
    // Everything received and not yet taken.
    void GetData(QByteArray& data);
    // Queues the bytes and returns; throws SocketError when the socket is not connected.
    void SendData(const QByteArray& data);
    // SendData(text + CR LF) without building that text: both go to the kernel in one call.
    void SendLine(const QByteArray& text);
    // Ends whatever the socket does. Queued outgoing bytes are still delivered in the
    // background before the connection is shut down.
    void Close();

    // Where the connection announced by connectionRequest(id) comes from; null when the
    // id is not (or no longer) pending.
    QHostAddress RequestPeerAddress(qint32 requestId) const;
    // Ends the sending side once what is queued is out (the peer sees FIN) and keeps
    // receiving: data events go on until the peer ends too, then closed() as usual.
    void Shutdown();
    // The connected peer as "address:port" (IPv4 also when it came in dual-stack); empty
    // when there is no connection.
    QString PeerName() const;
    // Connections of all sockets that were closed with bytes still queued and are
    // handing them over in the background.
    static int Lingering();

    // Bytes queued by SendData that the peer has not taken yet.
    qint64 BytesQueued() const;
    // Holds back data events while `sink` has more than kMaxQueuedBytes queued.
    void throttleBy(Winsock* sink);
    // Takes the data events instead of the dataArrival signal, called directly: for the one
    // receiver of every piece, the signal machinery cost more than the rest of its way.
    void onDataArrival(std::function<void(qint32)> handler) {
        arrivalHandler_ = std::move(handler);
    }
    // Holds back data events (the bytes stay in the kernel and TCP slows the peer down)
    // until resumed: for a relay whose other side is not ready yet.
    void PauseReading(bool paused) {
        paused_ = paused;
        updateReading();
    }
    // A dialled link reports what its peer sends, as a printer's answers must reach its
    // till; otherwise, as for a DVR, it is dropped unread.
    void KeepIncoming(bool keep) { keepIncoming_ = keep; }
    // The listening address, for tests and the benchmark: Any by default.
    void setListenAddress(const QHostAddress& address) { listenAddress_ = address; }

signals:
    void connected();
    // The peer or the network ended an established connection; State() reads 8.
    void closed();
    void error(int number, const QString& description);
    void connectionRequest(qint32 requestId);
    // Not emitted while a handler set by onDataArrival takes these events.
    void dataArrival(qint32 bytesTotal);
    // The queue fell back under the throttling limit (or the connection went away).
    void drained();

private:
    void startAttempt();
    void abandonDial();
    void dialFailed(const QString& reason);
    void onDialled(TcpLink* link);
    void adoptLink(TcpLink* link, bool dialled);
    void releaseSocket(bool flush);
    void closeServer();
    void onIncoming(TcpLink* link);
    void onSocketGone();
    void linkReadable() override;
    void linkWritten(qint64 sent) override;
    void linkBroken(const QString& reason) override;
    void discardDvrBytes();
    void sendPieces(QByteArrayView first, QByteArrayView second);
    void updateReading();
    void raiseErrorLater(int number, const QString& description);
    void announceArrival(qint32 bytes);

    QString remoteHost_;
    qint32 remotePort_ = 0;
    qint32 localPort_ = 0;
    int state_ = sckClosed;
    QHostAddress listenAddress_ = QHostAddress::Any;
    TcpListener::Failure listenFailure_ = TcpListener::Failure::None;
    QString listenFailureText_;

    TcpListener* listener_ = nullptr;
    TcpDialer* dialer_ = nullptr;  // the attempt in flight
    // The connection, to a DVR (dialled_) or from a terminal. Guarded: a link handing over
    // in the background may outlive its socket, and all links die with the application.
    QPointer<TcpLink> link_;
    bool dialled_ = false;
    // Every read lands here; GetData shares it with the caller instead of copying, and the
    // next read reuses it once the caller has let go, so a piece allocates nothing.
    QByteArray inBuffer_;
    qsizetype inBytes_ = 0;            // read from the kernel, not yet taken by GetData
    QMap<qint32, TcpLink*> requests_;  // accepted connections waiting for Accept
    qint32 nextRequestId_ = 1;

    QTimer attemptPacer_;
    QTimer connectTimeout_;
    QElapsedTimer lastAttemptStart_;
    // Bumped on every Close so that events posted for an older connection are dropped.
    quint64 generation_ = 0;

    std::function<void(qint32)> arrivalHandler_;
    QPointer<Winsock> sink_;
    bool heldBack_ = false;
    bool paused_ = false;
    bool keepIncoming_ = false;
    bool wasOverLimit_ = false;
};
