#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include "bridge.h"
#include "harness.h"
#include "service/event_log.h"

namespace {

const QByteArray kSetup = "[Setup]\r\nHide=1\r\nAutoRun=1\r\n";

// A DVR that takes the link but reads only when told to.
struct SlowDvr {
    SlowDvr() { server.listen(QHostAddress::LocalHost, 0); }
    QTcpSocket* link(int timeoutMs = 5000) {
        if (!socket && (server.hasPendingConnections() || server.waitForNewConnection(timeoutMs))) {
            socket = server.nextPendingConnection();
            socket->setReadBufferSize(64 * 1024);
        }
        return socket;
    }
    QTcpServer server;
    QTcpSocket* socket = nullptr;
};

// One channel of the real program, between that DVR and a terminal.
struct SlowChannel {
    SlowDvr dvr;
    quint16 pos = freePort();
    Bridge bridge{kSetup + row(1, dvr.server.serverPort(), pos)};
    std::unique_ptr<QTcpSocket> terminal;

    bool start() {
        bridge.start();
        return dvr.link() && (terminal = terminalOn(pos)) != nullptr;
    }
};

}  // namespace

class TestService : public QObject {
    Q_OBJECT
private slots:
    void stopHandsOverEveryHeldByteThenExitsZero() {
        SlowChannel channel;
        QVERIFY(channel.start());
        auto& [dvr, pos, bridge, terminal] = channel;
        // More than the bridge holds back before TCP pushes back on the terminal.
        QByteArray sent;
        for (int i = 0; sent.size() < (3 << 20); ++i) {
            sent += QByteArray(1000, char('A' + i % 26));
        }
        terminal->write(sent);
        QTest::qWait(500);
        bridge.signal(SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT((terminal->waitForBytesWritten(10), terminal->bytesToWrite() == 0),
                                 3000);
        terminal->disconnectFromHost();  // the terminal answers the bridge's FIN

        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT(
            (got += dvr.socket->readAll(), dvr.socket->state() != QAbstractSocket::ConnectedState &&
                                               dvr.socket->bytesAvailable() == 0),
            4000);
        QVERIFY(bridge.ended(3000));
        QCOMPARE(bridge.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(bridge.process.exitCode(), 0);
        QCOMPARE(got.replace("\r\n", ""), sent);  // every byte, in order, then FIN
    }

    void aDvrThatNeverReadsCostsAtMostTheBound_data() {
        QTest::addColumn<int>("signalCount");
        QTest::addColumn<int>("boundMs");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("one signal") << 1 << 3500 << 0;
        QTest::newRow("a second one ends it at once") << 2 << 500 << 128 + SIGTERM;
    }
    void aDvrThatNeverReadsCostsAtMostTheBound() {
        QFETCH(int, signalCount);
        QFETCH(int, boundMs);
        QFETCH(int, exitCode);
        SlowChannel channel;
        QVERIFY(channel.start());
        auto& [dvr, pos, bridge, terminal] = channel;
        terminal->write(QByteArray(8 << 20, 'X'));
        QTest::qWait(500);
        QElapsedTimer clock;
        clock.start();
        bridge.signal(SIGTERM);
        if (signalCount == 2) {
            QTest::qWait(100);
            bridge.signal(SIGTERM);
        }
        QVERIFY(bridge.ended(5000));
        QVERIFY2(clock.elapsed() < boundMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(bridge.process.exitCode(), exitCode);
    }

    void systemdHearsReadyStatusWatchdogAndStopping() {
        const QString path = QDir::temp().filePath(
            QStringLiteral("poskavelin-notify-%1").arg(QCoreApplication::applicationPid()));
        const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        QFile::remove(path);
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QByteArray heard;
        auto hear = [&] {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(listener, buffer, sizeof buffer, 0)) > 0;) {
                heard += QByteArray(buffer, n) + '\n';
            }
            return heard;
        };

        FakeDvr dvr;
        Bridge bridge(kSetup + row(1, dvr.port(), freePort()));
        bridge.env.insert("NOTIFY_SOCKET", path);
        bridge.env.insert("WATCHDOG_USEC", "200000");
        bridge.env.insert("JOURNAL_STREAM", "8:1234");
        bridge.start();
        QTRY_VERIFY_WITH_TIMEOUT(hear().contains("READY=1"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(hear().contains("STATUS=DVR links 1/1 up, terminals 0/1 "
                                                 "connected, printing off"),
                                 5000);
        QTRY_VERIFY_WITH_TIMEOUT(hear().count("WATCHDOG=1") >= 3, 3000);
        bridge.signal(SIGTERM);
        QVERIFY(bridge.ended(5000));
        QVERIFY(hear().contains("STOPPING=1"));
        QCOMPARE(bridge.process.exitCode(), 0);
        // JOURNAL_STREAM names another stream than our stderr (a pipe here): not the journal,
        // so lines keep their own time and no priority prefix.
        const QByteArray stderrText = bridge.process.readAllStandardError();
        QVERIFY(!stderrText.contains("<6>poskavelin.dvr"));
        QVERIFY(stderrText.contains(" info poskavelin.dvr: channel 1:"));
        ::close(listener);
        QFile::remove(path);
    }

    void logTellsWhatHappenedButNeverWhatWasSent() {
        FakeDvr dvr;
        const quint16 pos = freePort();
        Bridge bridge(kSetup + row(1, dvr.port(), pos) + row(2, freePort(), freePort()));
        // A log at its cap moves aside at the next line.
        const QByteArray old = QByteArray(event_log::kMaxLogBytes - 10, 'o') + '\n';
        QFile previous(bridge.dir.filePath("PosKavelin.log"));
        QVERIFY(previous.open(QIODevice::WriteOnly) && previous.write(old) == old.size());
        previous.close();
        bridge.start();
        auto terminal = terminalOn(pos);
        QVERIFY(terminal);
        terminal->write("CARD 4111 1111 1111 1111");
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().contains("1111\r\n"), 3000);
        terminal->disconnectFromHost();
        QVERIFY(bridge.logHas(" s, 1 pieces, 24 bytes"));
        QTest::qWait(2500);  // channel 2's DVR refuses, attempt after attempt
        bridge.signal(SIGINT);
        QVERIFY(bridge.ended(5000));

        const QByteArray log = bridge.log();
        QFile rotated(bridge.dir.filePath("PosKavelin.log.1"));
        QVERIFY(rotated.open(QIODevice::ReadOnly));
        QCOMPARE(rotated.readAll(), old);
        QVERIFY(log.contains("channel 1: terminal 127.0.0.1:"));
        QCOMPARE(log.count("channel 2: DVR"), 2);  // connecting, then one failure line
        // The card number, not a port or pid that happens to hold the same digits.
        QVERIFY(!log.contains("4111 1111"));
        QVERIFY(!bridge.process.readAllStandardError().contains("4111 1111"));
    }

    void repeatedFailuresAreSummarisedOncAMinute() {
        FailureRun run;
        QCOMPARE(run.failed(0), FailureRun::Line::First);
        int summaries = 0;
        for (qint64 t = 1000; t <= 212000; t += 1000) {
            summaries += run.failed(t) == FailureRun::Line::Summary ? 1 : 0;
        }
        QCOMPARE(summaries, 3);
        QCOMPARE(run.ended(212000), QString(" after 213 failed attempts in 3 min 32 s"));
        QCOMPARE(run.ended(213000), QString());
        QCOMPARE(run.failed(300000), FailureRun::Line::First);
    }
};

QTEST_MAIN(TestService)
#include "tst_service.moc"
