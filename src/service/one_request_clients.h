#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <memory>
#include <type_traits>

// The control socket and the metrics endpoint answer one request per connection, from
// clients the bridge cannot vouch for, on the loop that carries every channel. So each
// keeps at most kMaxClients at once, reads no further ahead than a request may be long (a
// flood waits in the kernel, not here), and ends a client kClientBoundMs after it came or
// after its answer was written, whether it spoke, read or neither.
namespace one_request_clients {

constexpr int kMaxClients = 16;
constexpr int kClientBoundMs = 2000;

// Takes every client `server` has waiting. `read(client, request)` is called on `owner`
// whenever bytes come, with all the client has sent so far in `request`.
template <typename Server, typename Read>
void acceptAll(QObject* owner, Server* server, int* clients, qint64 maxRequest, Read read) {
    while (auto* client = server->nextPendingConnection()) {
        using Socket = std::remove_pointer_t<decltype(client)>;
        if (*clients >= kMaxClients) {
            client->abort();
            client->deleteLater();
            continue;
        }
        ++*clients;
        QObject::connect(client, &QObject::destroyed, owner, [clients] { --*clients; });
        client->setReadBufferSize(maxRequest + 1);
        auto* deadline = new QTimer(client);
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, client, [client] {
            client->abort();
            client->deleteLater();
        });
        deadline->start(kClientBoundMs);
        auto request = std::make_shared<QByteArray>();
        QObject::connect(client, &Socket::readyRead, owner,
                         [read, client, request] { read(client, request.get()); });
        QObject::connect(client, &Socket::disconnected, client, &QObject::deleteLater);
        if (client->bytesAvailable() > 0) {
            read(client, request.get());
        }
    }
}

// Writes the answer and closes once it is out. Nothing more is read; what the client still
// sends waits unread until the close. A request that took long to answer (a reload) gives
// the client a fresh bound to read its answer in.
template <typename Socket>
void answer(QObject* owner, Socket* client, const QByteArray& reply) {
    QObject::disconnect(client, &Socket::readyRead, owner, nullptr);
    client->write(reply);
    if constexpr (requires { client->disconnectFromServer(); }) {
        client->disconnectFromServer();
    } else {
        client->disconnectFromHost();
    }
    if (auto* deadline = client->template findChild<QTimer*>()) {
        deadline->start(kClientBoundMs);
    }
}

}  // namespace one_request_clients
