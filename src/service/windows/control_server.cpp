#include "service/control_server.h"

#include "service/event_log.h"

// A named pipe goes when its last handle closes, so a bridge that was killed leaves nothing
// behind; a pipe that answers belongs to a bridge running from the same folder.
bool ControlServer::listen(const QString& path) {
    if (path.isEmpty()) {
        qCWarning(lcService, "no control socket: no name for its pipe");
        return false;
    }
    if (answered(path, QLocalSocket::ServerNotFoundError)) {
        qCWarning(lcService, "no control socket: %s is in use by another bridge",
                  qUtf8Printable(path));
        return false;
    }
    // Only the user who started the bridge may open the pipe, as only they may on Linux.
    return serve(path, QLocalServer::UserAccessOption);
}
