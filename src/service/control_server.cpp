#include "service/control_server.h"

#include <QPointer>

#include "service/control_address.h"
#include "service/event_log.h"
#include "service/one_request_clients.h"
#include "service/snapshot_text.h"

ControlServer::ControlServer(SnapshotFn snapshot, ReloadFn reload, QObject* parent)
    : QObject(parent), snapshot_(std::move(snapshot)), reload_(std::move(reload)) {}

ControlServer::~ControlServer() = default;

QString ControlServer::defaultPath() {
    QString why;
    return control_address::forBridge(&why);
}

bool ControlServer::answered(const QString& name, QLocalSocket::LocalSocketError gone) {
    QLocalSocket probe;
    probe.connectToServer(name);
    return probe.waitForConnected(500) || probe.error() != gone;
}

bool ControlServer::serve(const QString& name, QLocalServer::SocketOptions options) {
    server_ = new QLocalServer(this);
    server_->setSocketOptions(options);
    if (!server_->listen(name)) {
        qCWarning(lcService, "no control socket: cannot listen at %s (%s)", qUtf8Printable(name),
                  qUtf8Printable(server_->errorString()));
        delete server_;
        server_ = nullptr;
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &ControlServer::accept);
    qCInfo(lcService, "control socket at %s", qUtf8Printable(name));
    return true;
}

void ControlServer::accept() {
    one_request_clients::acceptAll(
        this, server_, &clients_, kMaxLine,
        [this](QLocalSocket* client, QByteArray* line) { read(client, line); });
}

void ControlServer::read(QLocalSocket* client, QByteArray* line) {
    *line += client->read(kMaxLine + 1 - line->size());
    const qsizetype end = line->indexOf('\n');
    if (end >= 0) {
        // A reload runs the window's handlers; however long that takes, the answer goes
        // only to a client that is still there.
        const QPointer<QLocalSocket> guarded(client);
        const QByteArray reply = answer(line->left(end).simplified());
        if (guarded) {
            finish(guarded, reply);
        }
    } else if (line->size() > kMaxLine) {
        finish(client, "error: a command is one line of at most 256 bytes\n");
    }
}

QByteArray ControlServer::answer(const QByteArray& command) {
    if (command == "status") {
        return statusTable(snapshot_()).toUtf8();
    }
    if (command == "status --json") {
        return statusJson(snapshot_()).toJson(QJsonDocument::Indented);
    }
    if (command == "metrics") {
        return prometheusText(snapshot_());
    }
    if (command == "reload") {
        bool ok = false;
        const QString reply = reload_(&ok);
        return (ok ? reply : QStringLiteral("error: ") + reply).toUtf8() + '\n';
    }
    return "error: unknown command; expected status, status --json, metrics or reload\n";
}

void ControlServer::finish(QLocalSocket* client, const QByteArray& reply) {
    one_request_clients::answer(this, client, reply);
}
