#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariant>
#include <memory>
#include <type_traits>

// The control socket and the metrics endpoint answer one request per connection, from
// clients the bridge cannot vouch for, on the loop that carries every channel. So each
// keeps at most kMaxClients at once, reads no further ahead than a request may be long (a
// flood waits in the kernel, not here), and ends a client kClientBoundMs after it came or
// after its answer was written, whether it spoke, read or neither. When all places are
// taken, a newcomer takes the place of the client that has waited longest without a whole
// request: connections held open and silent cannot keep a scrape or a status out.
namespace one_request_clients {

constexpr int kMaxClients = 16;
constexpr int kClientBoundMs = 2000;

// The clients of one server in the order they came, beside the server as its child.
class ClientBook : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    static ClientBook* of(QObject* server) {
        auto* book = server->findChild<ClientBook*>(QString(), Qt::FindDirectChildrenOnly);
        return book ? book : new ClientBook(server);
    }
    // Room for one more, made by letting go of the oldest client that has not been answered;
    // false when every place is taken by a client being answered.
    template <typename Socket>
    bool makeRoom() {
        clients_.removeAll(nullptr);
        if (clients_.size() < kMaxClients) {
            return true;
        }
        for (qsizetype i = 0; i < clients_.size(); ++i) {
            auto* client = static_cast<Socket*>(clients_[i].data());
            if (!client->property(kAnswered).toBool()) {
                clients_.removeAt(i);
                client->abort();
                client->deleteLater();
                return true;
            }
        }
        return false;
    }
    void add(QObject* client) { clients_.append(client); }

    static constexpr char kAnswered[] = "poskavelinAnswered";

private:
    QList<QPointer<QObject>> clients_;
};

// Takes every client `server` has waiting. `read(client, request)` is called on `owner`
// whenever bytes come, with all the client has sent so far in `request`.
template <typename Server, typename Read>
void acceptAll(QObject* owner, Server* server, int* clients, qint64 maxRequest, Read read) {
    ClientBook* book = ClientBook::of(server);
    while (auto* client = server->nextPendingConnection()) {
        using Socket = std::remove_pointer_t<decltype(client)>;
        if (!book->makeRoom<Socket>()) {
            client->abort();
            client->deleteLater();
            continue;
        }
        book->add(client);
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
    client->setProperty(ClientBook::kAnswered, true);
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
