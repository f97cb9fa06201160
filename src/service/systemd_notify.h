#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// Tells systemd how the bridge is doing, through libsystemd: READY=1 after start-up, a
// STATUS= line when it changes, WATCHDOG=1 from the event loop at half the interval systemd
// asks for (so a hung loop gets the instance restarted), and STOPPING=1 when a stop begins.
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

private:
    void send(const QByteArray& state);

    bool enabled_ = false;
    bool warned_ = false;
    QString lastStatus_;
    QTimer watchdog_;
};
