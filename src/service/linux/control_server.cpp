#include "service/control_server.h"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "service/event_log.h"

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
        if (answered(path, QLocalSocket::ConnectionRefusedError)) {
            qCWarning(lcService, "no control socket: %s is in use by another bridge",
                      native.constData());
            return false;
        }
        QLocalServer::removeServer(path);
    }
    // The mode is set after listening, as group access is not among Qt's socket options.
    if (!serve(path, QLocalServer::NoOptions)) {
        return false;
    }
    if (::chmod(native.constData(), kSocketMode) != 0) {
        qCWarning(lcService, "control socket %s keeps its mode (%s)", native.constData(),
                  std::strerror(errno));
    }
    return true;
}
