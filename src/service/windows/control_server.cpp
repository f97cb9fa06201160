#include "service/control_server.h"

#include "service/event_log.h"

// The control socket lives in a runtime folder that Windows does not have; until the
// Windows bridge gets a control pipe of its own, it simply has no control channel.
ControlServer::ControlServer(SnapshotFn snapshot, ReloadFn reload, QObject* parent)
    : QObject(parent), snapshot_(std::move(snapshot)), reload_(std::move(reload)) {}

ControlServer::~ControlServer() = default;

QString ControlServer::defaultPath() {
    return QString();
}

bool ControlServer::listen(const QString&) {
    qCInfo(lcService, "no control channel on Windows");
    return false;
}
