#include "bridge.h"

#include <signal.h>

#include <QFile>
#include <QTest>

#include "harness.h"

Bridge::Bridge(const QByteArray& ini) {
    QFile::copy(QStringLiteral(POSKAVELIN_BINARY), dir.filePath("poskavelin"));
    QFile file(dir.filePath("PosKavelin.ini"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(ini);
    }
    env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");  // the program must find offscreen by itself
    env.remove("WAYLAND_DISPLAY");
    if (qEnvironmentVariableIsSet("SERVICE_TEST_NO_DISPLAY")) {
        env.remove("DISPLAY");
    } else {
        env.insert("DISPLAY", ":99");  // a display that cannot be opened
    }
}

Bridge::~Bridge() {
    process.kill();
    process.waitForFinished(3000);
}

void Bridge::start() {
    process.setProcessEnvironment(env);
    process.start(dir.filePath("poskavelin"), {});
}

void Bridge::signal(int number) {
    ::kill(pid_t(process.processId()), number);
}

QByteArray Bridge::log() const {
    QFile file(dir.filePath("PosKavelin.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool Bridge::ended(int timeoutMs) {
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}

bool Bridge::logHas(const QByteArray& text) {
    return QTest::qWaitFor([&] { return log().contains(text); }, 5000);
}

QByteArray row(int n, quint16 dvr, quint16 pos) {
    return "[Connection " + QByteArray::number(n) +
           "]\r\nIP=127.0.0.1\r\nDVR_PORT=" + QByteArray::number(dvr) +
           "\r\nPOS_PORT=" + QByteArray::number(pos) + "\r\nENABLE=1\r\n";
}

std::unique_ptr<QTcpSocket> terminalOn(quint16 port) {
    std::unique_ptr<QTcpSocket> terminal;
    if (!QTest::qWaitFor([&] { return (terminal = connectTerminal(port, 200)) != nullptr; },
                         5000)) {
        return nullptr;
    }
    return terminal;
}
