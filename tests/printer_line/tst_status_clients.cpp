#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

#include "printer_line/status_responder.h"

namespace {

// A printer port that answers with a StatusResponder, one per connection, as a channel
// with PRINTER_STATUS set does.
class AnsweringPort : public QObject {
public:
    explicit AnsweringPort(StatusResponder::Kind kind) : kind_(kind) {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                auto responder = std::make_shared<StatusResponder>(kind_);
                // The library takes its four answers from one read, which a loaded machine
                // may split when each request is answered as it comes: they go out together.
                auto pending = std::make_shared<QByteArray>();
                connect(socket, &QTcpSocket::readyRead, socket, [socket, responder, pending, this] {
                    const QByteArray till = socket->readAll();
                    received += till;
                    *pending += responder->feed(till);
                    QTimer::singleShot(50, socket, [socket, pending] {
                        socket->write(std::exchange(*pending, {}));
                    });
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    bool listen() { return server_.listen(QHostAddress::LocalHost); }
    quint16 port() const { return server_.serverPort(); }

    QByteArray received;

private:
    StatusResponder::Kind kind_;
    QTcpServer server_;
};

}  // namespace

// A public ESC/POS client library's status call, answered by the status responder. The
// library comes from the npm registry at test time into a temporary folder; without npm
// or the registry the test is skipped.
class TestStatusClients : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void nodeEscposGetStatuses();

private:
    QTemporaryDir modules_;
};

void TestStatusClients::initTestCase() {
    if (QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("npm")).isEmpty()) {
        QSKIP("node and npm are not installed");
    }
    QProcess npm;
    npm.setWorkingDirectory(modules_.path());
    npm.setProcessChannelMode(QProcess::MergedChannels);
    npm.start(
        QStringLiteral("npm"),
        {QStringLiteral("install"), QStringLiteral("--no-audit"), QStringLiteral("--no-fund"),
         QStringLiteral("--no-save"), QStringLiteral("--fetch-retries=1"),
         QStringLiteral("--fetch-retry-mintimeout=2000"),
         QStringLiteral("--fetch-retry-maxtimeout=5000"), QStringLiteral("@node-escpos/core@0.6.0"),
         QStringLiteral("@node-escpos/network-adapter@0.0.1")});
    const bool finished = npm.waitForFinished(60000);
    if (!finished || npm.exitStatus() != QProcess::NormalExit || npm.exitCode() != 0) {
        const QByteArray said = npm.readAll().trimmed().right(300);
        npm.kill();
        npm.waitForFinished(3000);
        QSKIP(qPrintable(QStringLiteral("npm could not install @node-escpos (no registry?): ") +
                         QString::fromUtf8(said)));
    }
    QVERIFY(QFile::copy(QFINDTESTDATA("escpos_status_client.mjs"),
                        modules_.filePath(QStringLiteral("escpos_status_client.mjs"))));
}

void TestStatusClients::nodeEscposGetStatuses() {
    AnsweringPort printer(StatusResponder::Kind::kEscPos);
    QVERIFY(printer.listen());
    QProcess client;
    client.setWorkingDirectory(modules_.path());
    client.start(QStringLiteral("node"),
                 {QStringLiteral("escpos_status_client.mjs"), QString::number(printer.port())});
    // The client is a separate process: the event loop must keep answering while it runs.
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QProcess::NotRunning, 15000);
    const QByteArray output = client.readAllStandardOutput();
    qInfo("client said: %s", output.trimmed().constData());
    QCOMPARE(client.exitCode(), 0);
    QCOMPARE(printer.received.toHex(' '), QByteArray("10 04 01 10 04 04 10 04 02 10 04 03"));

    const QJsonDocument answer = QJsonDocument::fromJson(output.trimmed().split('\n').last());
    QVERIFY2(answer.isArray(), output.constData());
    const QJsonArray statuses = answer.array();
    QCOMPARE(statuses.size(), 4);
    for (const QJsonValue& status : statuses) {
        const QJsonObject object = status.toObject();
        QCOMPARE(object.value(QStringLiteral("byte")).toInt(), 0x12);
        QVERIFY2(object.value(QStringLiteral("errors")).toArray().isEmpty(),
                 qPrintable(object.value(QStringLiteral("className")).toString()));
    }
}

QTEST_GUILESS_MAIN(TestStatusClients)
#include "tst_status_clients.moc"
