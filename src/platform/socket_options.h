#pragma once

#include <QtGlobal>
#include <functional>

class QTcpSocket;

// What a socket needs beyond what Qt sets, where only the system's own calls can say it:
// platform/linux/socket_options.cpp and platform/windows/socket_options.cpp, one of which
// CMake builds. `socket` is Qt's socketDescriptor(). Best effort: a system without one of
// these options still gets the others.
namespace socket_options {

// A peer that vanished without a FIN or reset (cable pulled, power cut) would look alive for
// hours: keepalive probes find it within a minute. With `boundUnsentData`, bytes
// the peer does not acknowledge are also given up after 30 s, so a DVR link is rebuilt
// instead of queueing receipts into a dead connection.
void detectDeadPeer(qintptr socket, bool boundUnsentData);

// The peer gets FIN while receiving goes on; Qt has no half-close of its own.
void finishSending(qintptr socket);

// Closes an accepted handle that Qt could not take over.
void discard(qintptr socket);

// For a socket Qt has started to connect (called after connectToHost): calls `endedUnseen`,
// from the loop, when the peer ended the new connection before Qt saw it finish. Qt learns how
// a connect ended by calling connect() again, and on Linux a second such call after a reset
// starts a new handshake that nobody hears of: a DVR that accepts and resets at once would be
// dialled over and over, unpaced. Windows does not dial a socket twice, and there it does
// nothing.
void watchDial(QTcpSocket* socket, std::function<void()> endedUnseen);

}  // namespace socket_options
