#include "service/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <ctime>
#include <utility>

#include "service/event_log.h"

SystemdNotify::SystemdNotify(QObject* parent) : QObject(parent) {
    enabled_ = qEnvironmentVariableIsSet("NOTIFY_SOCKET");
    if (!enabled_) {
        return;
    }
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Half the interval, as systemd advises: one late ping must not cost a restart.
        watchdog_.setInterval(int(qMax<uint64_t>(1, usec / 2000)));
        connect(&watchdog_, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        watchdog_.start();
    }
}

void SystemdNotify::ready() {
    send("READY=1");
}

void SystemdNotify::status(const QString& text) {
    if (text == lastStatus_) {
        return;
    }
    lastStatus_ = text;
    send("STATUS=" + text.toUtf8());
}

void SystemdNotify::stopping() {
    // The watchdog keeps pinging while the last bytes drain.
    send("STOPPING=1");
}

void SystemdNotify::reloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const quint64 usec = quint64(now.tv_sec) * 1000000 + quint64(now.tv_nsec) / 1000;
    send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void SystemdNotify::reloaded(const QString& text) {
    lastStatus_ = text;
    send("READY=1\nSTATUS=" + text.toUtf8());
}

void SystemdNotify::send(const QByteArray& state) {
    if (!enabled_) {
        return;
    }
    const int result = sd_notify(0, state.constData());
    // Said once: the watchdog would repeat it every few seconds.
    if (result < 0 && !std::exchange(warned_, true)) {
        qCWarning(lcService, "cannot notify systemd: %s", qPrintable(qt_error_string(-result)));
    }
}
