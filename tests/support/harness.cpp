#include "harness.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <QFile>
#include <QPalette>
#include <QProcess>
#include <QTest>

PrintJob FakePrinters::takeDocument() {
    return [this, printer = current,
            document = std::exchange(document_, QByteArray())](const PrintLimits& limits) {
        if (failing || !printer || (limits.stillWanted && !limits.stillWanted())) {
            throw PrintError("printer failed");
        }
        const QMutexLocker lock(&mutex_);
        jobs_.append(document);
    };
}

QList<QByteArray> FakePrinters::jobs() const {
    const QMutexLocker lock(&mutex_);
    return jobs_;
}

Harness::Harness(const QByteArray& iniContent, bool writeIni, PrinterServices* services) {
    if (writeIni) {
        QFile file(iniPath());
        if (file.open(QIODevice::WriteOnly)) {
            file.write(iniContent);
        }
    }
    window_ = std::make_unique<frmKavelin>(
        iniPath(),
        [this](const QString& text, const QString& title, MsgIcon icon) {
            boxes.append({text, title, icon});
            if (whileBoxOpen) {
                whileBoxOpen();
            }
        },
        [this] { return now; }, services ? services : &printers);
}

Harness::~Harness() = default;

QString Harness::iniPath() const {
    return dir.filePath(QStringLiteral("PosKavelin.ini"));
}

QByteArray Harness::iniBytes() const {
    QFile file(iniPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Harness::setRow(int i, const QString& ip, int dvrPort, int posPort, bool enabled) {
    window_->txtIP(i)->setText(ip);
    window_->txtPort(i)->setText(QString::number(dvrPort));
    window_->txtPortOpen(i)->setText(QString::number(posPort));
    window_->chkEnable(i)->setValue(enabled ? 1 : 0);
}

std::unique_ptr<QTcpSocket> Harness::openRow(int i, quint16 dvrPort) {
    const quint16 pos = freePort();
    setRow(i, "127.0.0.1", dvrPort, pos);
    window_->cmdConnect_Click(i);
    if (!QTest::qWaitFor([&] { return window_->lbPCStatus(i)->text() == "Listening"; }, 3000)) {
        return nullptr;
    }
    auto terminal = connectTerminal(pos);
    if (!terminal || !QTest::qWaitFor([&] { return window_->PosConnected(i) != 0; }, 3000)) {
        return nullptr;
    }
    return terminal;
}

FakeDvr::FakeDvr(quint16 port) {
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* link = server.nextPendingConnection()) {
            const int n = int(links_.size());
            links_.append(link);
            perLink_.append(QByteArray());
            connect(link, &QTcpSocket::readyRead, this, [this, link, n] {
                const QByteArray bytes = link->readAll();
                received_ += bytes;
                perLink_[n] += bytes;
            });
        }
    });
    listen(port);
}

bool FakeDvr::listen(quint16 port) {
    if (!server.listen(QHostAddress::LocalHost, port ? port : port_)) {
        return false;
    }
    port_ = server.serverPort();
    return true;
}

void FakeDvr::stop() {
    server.close();
    dropLinks();
}

void FakeDvr::dropLinks() {
    for (QTcpSocket* link : std::as_const(links_)) {
        if (link->state() == QAbstractSocket::ConnectedState) {
            link->disconnectFromHost();
        }
    }
}

int FakeDvr::liveLinks() const {
    int live = 0;
    for (const QTcpSocket* link : links_) {
        live += link->state() == QAbstractSocket::ConnectedState ? 1 : 0;
    }
    return live;
}

QByteArray FakeDvr::received() const {
    return received_;
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

std::unique_ptr<QTcpSocket> connectTerminal(quint16 port, int timeoutMs) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    if (!socket->waitForConnected(timeoutMs)) {
        return nullptr;
    }
    return socket;
}

double cpuMs() {
#ifdef Q_OS_WIN
    FILETIME created, ended, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return (quint64(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e4;  // 100 ns each
    };
    return ticks(kernel) + ticks(user);
#else
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
#endif
}

QString runProgram(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(1000);
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

QColor background(const QLabel* label) {
    return label->palette().color(QPalette::Window);
}
QColor textColour(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}
