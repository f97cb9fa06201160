#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <functional>
#include <stdexcept>

// The socket primitives beneath Winsock: a connection, a listening port and one dialling
// attempt. Winsock keeps the control's states, pacing, request ids and events; these move
// bytes and say what the system reported. One implementation on Qt Network serves every
// operating system (qt_tcp_*.cpp); only the socket options differ (socket_options.h).

// Raised by a send on a connection that is broken or not connected, so the caller can take
// its error path at once instead of queueing bytes that will never leave.
class SocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a connection tells its owner; always from the event loop, never from inside one of
// the connection's own calls.
class TcpLinkEvents {
public:
    // Bytes, the peer's end or an error are waiting: receive() tells which.
    virtual void linkReadable() = 0;
    // `sent` queued bytes went out.
    virtual void linkWritten(qint64 sent) = 0;
    // The connection broke while it sent what was queued, or could not be watched.
    virtual void linkBroken(const QString& reason) = 0;

protected:
    ~TcpLinkEvents() = default;
};

// One connected TCP socket, dialled to a DVR or accepted from a terminal. Deleted only by
// close(); one still handing over queued bytes then lives on alone for a bound.
class TcpLink : public QObject {
public:
    enum class Role { Dialled, Accepted };
    // A hand-over after close(flush) gives up after this when the peer does not read.
    static constexpr int kLingerBoundMs = 30000;
    static constexpr qsizetype kNothingYet = -1;
    static constexpr qsizetype kBroken = -2;

    virtual void setEvents(TcpLinkEvents* events) = 0;
    // Whether linkReadable is wanted. Off, the bytes stay in the kernel and TCP slows the
    // peer down.
    virtual void setReading(bool on) = 0;
    // > 0: bytes read into `into`; 0: the peer ended; kNothingYet; kBroken (*why says why).
    virtual qsizetype receive(char* into, qsizetype capacity, QString* why) = 0;
    // Sends `first` then `second`, queueing in order what the system does not take at once.
    // Throws SocketError when the connection is broken.
    virtual void send(QByteArrayView first, QByteArrayView second) = 0;
    virtual qint64 queuedBytes() const = 0;
    // The peer gets FIN once the queue is out; receiving goes on.
    virtual void shutdownWhenSent() = 0;
    // Ends the link and deletes it. With `flush`, queued bytes still go out in the
    // background, then FIN; without, the socket is closed at once.
    virtual void close(bool flush) = 0;
    // The peer's address and port; a null address when it cannot be told.
    virtual QHostAddress peerAddress(quint16* port = nullptr) const = 0;

protected:
    using QObject::QObject;
    ~TcpLink() override = default;
};

// Links closed with bytes still queued that are handing them over in the background.
int lingeringLinks();

// A listening port. Each incoming connection is handed over as a link, not yet reading.
class TcpListener : public QObject {
public:
    enum class Failure { None, OutOfRange, PermissionDenied, InUse, OutOfDescriptors, Other };
    struct Result {
        TcpListener* listener = nullptr;
        Failure failure = Failure::None;
        QString reason;  // the system's words, for the log
    };
    // QHostAddress::Any is dual-stack: IPv6 that also takes IPv4, or IPv4 alone where the
    // machine has no IPv6.
    static Result open(const QHostAddress& address, int port,
                       std::function<void(TcpLink*)> onIncoming, QObject* parent);
    // Frees the port at once, so it can be opened again from the same handler, and deletes
    // the listener once any handler of its own has returned.
    virtual void close() = 0;

protected:
    using QObject::QObject;
    ~TcpListener() override = default;
};

// One attempt to connect. Exactly one of the two outcomes is reported, from the event loop
// and never from inside dial(), unless the attempt is abandoned first.
class TcpDialer : public QObject {
public:
    static TcpDialer* dial(const QHostAddress& address, quint16 port,
                           std::function<void(TcpLink*)> onConnected,
                           std::function<void(const QString& reason)> onFailed, QObject* parent);
    // Drops the attempt: nothing more is reported, and the dialer deletes itself.
    virtual void abandon() = 0;

protected:
    using QObject::QObject;
    ~TcpDialer() override = default;
};
