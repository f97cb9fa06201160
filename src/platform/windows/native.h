#pragma once

#include <QHostAddress>
#include <QLoggingCategory>
#include <QString>

#include "platform/tcp.h"

// What the Windows socket files share: the one door from a socket handle to a link, and the
// socket options every link gets.
// What the Windows sockets could not do that no caller hears of otherwise.
Q_DECLARE_LOGGING_CATEGORY(lcSocket)

namespace native {

// Takes ownership of a connected socket handle (a SOCKET, as Qt passes it around).
TcpLink* adoptLink(qintptr socket, TcpLink::Role role);

// Winsock must be started before the first socket() of our own; Qt starts it only for its
// own sockets. Counted by the system, so calling it more than once is harmless.
bool startWinsock();

// The system's words for a Winsock error number.
QString errorText(int error);

// A peer that vanished without a FIN or reset (cable pulled, power cut) would look alive for
// hours: keepalive probes find it in about 10 s plus Windows' ten probes 5 s apart. With
// `boundUnsentData`, bytes the peer does not acknowledge are also given up after 30 s, so a
// DVR link is rebuilt instead of queueing receipts into a dead connection. Best effort.
void detectDeadPeer(qintptr socket, bool boundUnsentData);

}  // namespace native
