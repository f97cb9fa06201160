#pragma once

#include <QLoggingCategory>

#include "platform/tcp.h"

class QTcpSocket;

// What the socket files share: the one door from a connected QTcpSocket to a link.
// What the sockets could not do that no caller hears of otherwise.
Q_DECLARE_LOGGING_CATEGORY(lcSocket)

// Takes a connected socket over as a link; the link becomes its parent.
TcpLink* linkFor(QTcpSocket* socket, TcpLink::Role role);
