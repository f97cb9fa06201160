#include "service/control_server.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstring>

#include "service/event_log.h"
#include "service/one_request_clients.h"
#include "service/snapshot_text.h"

namespace {

// Whoever may reach the folder and is in the group may ask; under systemd the folder is the
// instance's runtime folder and the group is poskavelin.
constexpr mode_t kSocketMode = 0660;

// The folder a desktop user's bridge puts its socket in: private to the user, as
// XDG_RUNTIME_DIR itself is.
bool makePrivateFolder(const QString& folder) {
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) == 0 || errno == EEXIST) {
        return QFileInfo(folder).isDir();
    }
    return false;
}

}  // namespace

ControlServer::ControlServer(SnapshotFn snapshot, ReloadFn reload, QObject* parent)
    : QObject(parent), snapshot_(std::move(snapshot)), reload_(std::move(reload)) {}

ControlServer::~ControlServer() = default;

QString ControlServer::defaultPath() {
    // systemd may list several runtime folders, separated by ':'; the unit's first is ours.
    const QString runtime =
        qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!runtime.isEmpty()) {
        return QDir(runtime).filePath(QStringLiteral("control"));
    }
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty()) {
        return QDir(xdg).filePath(QStringLiteral("poskavelin/control"));
    }
    return QString();
}

bool ControlServer::listen(const QString& path) {
    if (path.isEmpty()) {
        qCWarning(lcService,
                  "no control socket: neither RUNTIME_DIRECTORY nor XDG_RUNTIME_DIR is set");
        return false;
    }
    const QString folder = QFileInfo(path).path();
    if (qEnvironmentVariableIsEmpty("RUNTIME_DIRECTORY") && !makePrivateFolder(folder)) {
        qCWarning(lcService, "no control socket: folder %s cannot be made (%s)",
                  qUtf8Printable(folder), std::strerror(errno));
        return false;
    }
    const QByteArray native = QFile::encodeName(path);
    struct stat existing {};
    if (::lstat(native.constData(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            qCWarning(lcService, "no control socket: %s exists and is not a socket",
                      native.constData());
            return false;
        }
        // A socket that still answers belongs to a bridge that runs; one that refuses was left
        // by a bridge that ended without removing it.
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(500) || probe.error() != QLocalSocket::ConnectionRefusedError) {
            qCWarning(lcService, "no control socket: %s is in use by another bridge",
                      native.constData());
            return false;
        }
        QLocalServer::removeServer(path);
    }

    server_ = new QLocalServer(this);
    if (!server_->listen(path)) {
        qCWarning(lcService, "no control socket: cannot listen at %s (%s)", native.constData(),
                  qUtf8Printable(server_->errorString()));
        delete server_;
        server_ = nullptr;
        return false;
    }
    if (::chmod(native.constData(), kSocketMode) != 0) {
        qCWarning(lcService, "control socket %s keeps its mode (%s)", native.constData(),
                  std::strerror(errno));
    }
    connect(server_, &QLocalServer::newConnection, this, &ControlServer::accept);
    qCInfo(lcService, "control socket at %s", native.constData());
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
        finish(client, answer(line->left(end).simplified()));
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
