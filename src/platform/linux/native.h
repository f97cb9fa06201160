#pragma once

#include <sys/socket.h>

#include <QHostAddress>
#include <QLoggingCategory>

#include "platform/tcp.h"

// What the Linux socket files share: the one door from a descriptor to a link, and the
// conversions between Qt's addresses and the kernel's.
// What the Linux sockets could not do that no caller hears of otherwise.
Q_DECLARE_LOGGING_CATEGORY(lcSocket)

namespace native {

// Takes ownership of a connected, non-blocking descriptor.
TcpLink* adoptLink(int fd, TcpLink::Role role);

// Fills `storage` and returns its length; IPv6 keeps its scope.
socklen_t toSockaddr(const QHostAddress& address, quint16 port, sockaddr_storage* storage);
QHostAddress fromSockaddr(const sockaddr_storage& storage, quint16* port);

}  // namespace native
