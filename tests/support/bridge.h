#pragma once

#include <QByteArray>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <memory>

// The real program, copied into a folder of its own with a settings file beside it, as
// an installer would run it.
class Bridge {
public:
    explicit Bridge(const QByteArray& ini);
    ~Bridge();
    void start();
    void signal(int number);
    QByteArray log() const;
    // QProcess says false for a process that already ended while the test waited.
    bool ended(int timeoutMs);
    bool logHas(const QByteArray& text);

    QTemporaryDir dir;
    QProcessEnvironment env;
    QProcess process;
};

// A [Connection n] section for a DVR and a terminal port on 127.0.0.1, switched on.
QByteArray row(int n, quint16 dvr, quint16 pos);

// The bridge listens only once its DVR link is up; dial until it answers.
std::unique_ptr<QTcpSocket> terminalOn(quint16 port);
