#include "service/systemd_notify.h"

// Windows has no systemd: there is nobody to notify, so the bridge sends nothing and arms no
// watchdog timer, as on Linux without NOTIFY_SOCKET.
SystemdNotify::SystemdNotify(QObject* parent) : QObject(parent) {}

void SystemdNotify::ready() {}

void SystemdNotify::status(const QString& text) {
    lastStatus_ = text;
}

void SystemdNotify::stopping() {}

void SystemdNotify::reloading() {}

void SystemdNotify::reloaded(const QString& text) {
    lastStatus_ = text;
}

void SystemdNotify::send(const QByteArray&) {}
