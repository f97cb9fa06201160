#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// Tells systemd how the bridge is doing, through libsystemd: READY=1 after start-up, a
// STATUS= line when it changes, WATCHDOG=1 from the event loop at half the interval systemd
// asks for (so a hung loop gets the instance restarted), RELOADING=1 and READY=1 around a
// reload, and STOPPING=1 when a stop begins.
// Without NOTIFY_SOCKET in the environment it sends nothing and arms no timer.
class SystemdNotify : public QObject {
    Q_OBJECT
public:
    explicit SystemdNotify(QObject* parent = nullptr);

    bool enabled() const { return enabled_; }
    void ready();
    // Sent only when the text differs from the last one sent.
    void status(const QString& text);
    void stopping();
    // Around a reload: RELOADING=1 with the monotonic time systemd matches it by, then
    // READY=1 with the status line, sent even when it has not changed.
    void reloading();
    void reloaded(const QString& text);

private:
    void send(const QByteArray& state);

    bool enabled_ = false;
    bool warned_ = false;
    QString lastStatus_;
    QTimer watchdog_;
};
