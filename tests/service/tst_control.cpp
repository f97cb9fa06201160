#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include "bridge.h"
#include "harness.h"

namespace {

const QByteArray kSetup = "[Setup]\r\nHide=1\r\nAutoRun=1\r\n";

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result ctl(const QStringList& args, const QString& runtimeDir) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtimeDir);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(POSKAVELINCTL_BINARY), args);
    if (!process.waitForFinished(10000)) {
        return {};  // the process is killed as it goes
    }
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

// The real program with a runtime folder of the test's, where its control socket lands.
struct Observed {
    explicit Observed(const QByteArray& ini, const QString& runtimeDir = QString())
        : bridge(ini), runtime(runtimeDir.isEmpty() ? ownRuntime.path() : runtimeDir) {
        bridge.env.insert("XDG_RUNTIME_DIR", runtime);
        bridge.env.remove("RUNTIME_DIRECTORY");
    }
    QString socket() const { return runtime + "/poskavelin/control"; }
    bool start() {
        bridge.start();
        return bridge.logHas("control socket");  // there, or why not
    }
    Result ask(const QStringList& args) { return ctl(args, runtime); }

    QTemporaryDir ownRuntime;
    Bridge bridge;
    QString runtime;
};

// User and system CPU of another process, from /proc, in milliseconds.
double cpuMsOf(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
    return (fields.value(12).toDouble() + fields.value(13).toDouble()) * 1000.0 /
           double(::sysconf(_SC_CLK_TCK));
}

// One request on a connection of its own; the endpoint closes once it has answered.
QByteArray httpExchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(3000);
    socket.write(request);
    socket.waitForDisconnected(4000);
    return socket.readAll();
}

}  // namespace

class TestControl : public QObject {
    Q_OBJECT
private slots:
    void statusAndMetricsShowEachChannelButNoText() {
        FakeDvr dvr;
        const quint16 pos = freePort();
        const quint16 metricsPort = freePort();
        Observed observed(kSetup + "Metrics=127.0.0.1:" + QByteArray::number(metricsPort) + "\r\n" +
                          row(1, dvr.port(), pos) + row(2, freePort(), freePort()));
        QVERIFY(observed.start());
        auto terminal = terminalOn(pos);
        QVERIFY(terminal);
        terminal->write("CARD 4111 1111 1111 1111");
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().endsWith("1111\r\n"), 3000);

        struct stat socketStat {};
        QCOMPARE(::stat(QFile::encodeName(observed.socket()).constData(), &socketStat), 0);
        QCOMPARE(socketStat.st_mode & 0777, 0660u);

        const Result status = observed.ask({"status"});
        QCOMPARE(status.exitCode, 0);
        const QList<QByteArray> lines = status.out.split('\n');
        QCOMPARE(lines.size(), 4);  // heading, two rows, the final newline
        QVERIFY2(lines[1].startsWith("  1  connected 127.0.0.1:"), lines[1]);
        QVERIFY(lines[1].contains("connected 127.0.0.1:" + QByteArray::number(dvr.port())));
        QVERIFY2(lines[2].startsWith("  2  listening") || lines[2].startsWith("  2  closed"),
                 lines[2]);
        QVERIFY(lines[2].contains("connecting 127.0.0.1:"));
        // Columns line up: the byte count ends where its heading does.
        QCOMPARE(lines[1].indexOf(" 24 ") + 3, lines[0].indexOf("BYTES") + 5);

        const Result json = observed.ask({"status", "--json"});
        const QJsonArray channels = QJsonDocument::fromJson(json.out)["channels"].toArray();
        QCOMPARE(channels.size(), 2);
        QCOMPARE(channels[0]["terminal"].toString(), QString("connected"));
        QCOMPARE(channels[0]["bytes"].toInt(), 24);
        QVERIFY(channels[0]["lastPieceAgeMs"].isDouble() && channels[1]["lastPieceAgeMs"].isNull());
        QCOMPARE(channels[1]["dvr"].toString(), QString("connecting"));

        const Result metrics = observed.ask({"metrics"});
        QCOMPARE(metrics.exitCode, 0);
        const QByteArray scraped = httpExchange(metricsPort, "GET /metrics HTTP/1.1\r\n\r\n");
        QVERIFY2(scraped.startsWith("HTTP/1.1 200 OK\r\n"), scraped.left(200));
        QVERIFY(scraped.contains("\r\nContent-Type: text/plain; version=0.0.4\r\n"));
        for (const QByteArray& text : {metrics.out, scraped}) {
            for (const char* series : {"# TYPE poskavelin_pieces_total counter\n",
                                       "poskavelin_pieces_total{channel=\"1\"} 1\n",
                                       "poskavelin_bytes_total{channel=\"1\"} 24\n",
                                       "poskavelin_terminal_connected{channel=\"1\"} 1\n",
                                       "poskavelin_dvr_link_up{channel=\"1\"} 1\n",
                                       "poskavelin_dvr_link_up{channel=\"2\"} 0\n",
                                       "poskavelin_dvr_reconnect_attempts_total{channel=\"2\"} ",
                                       "poskavelin_print_failures_total{channel=\"1\"} 0\n",
                                       "\nprocess_start_time_seconds 1"}) {
                QVERIFY2(text.contains(series), series);
            }
        }
        for (const QByteArray& text : {status.out, json.out, metrics.out, scraped}) {
            QVERIFY(!text.contains("4111"));
        }
        // Only GET /metrics is served; a scanner, a stray method and a client that never ends
        // its request are each answered or dropped within the bound.
        const std::pair<QByteArray, QByteArray> exchanges[] = {
            {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.1 404 "},
            {"POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 "},
            {"GET /metrics HTTP/1.1\r\nX: " + QByteArray(9000, 'x'), "HTTP/1.1 431 "},
            {"GET /metrics HTTP/1.1\r\n", ""}};
        for (const auto& [request, answer] : exchanges) {
            QElapsedTimer clock;
            clock.start();
            const QByteArray reply = httpExchange(metricsPort, request);
            QVERIFY2(reply.startsWith(answer) && clock.elapsed() < 2500, reply.left(100));
        }
    }

    void idleAndGarbageClientsAreDroppedWhilePiecesFlow() {
        FakeDvr dvr;
        const quint16 pos = freePort();
        Observed observed(kSetup + row(1, dvr.port(), pos));
        QVERIFY(observed.start());
        auto terminal = terminalOn(pos);
        QVERIFY(terminal);
        const double cpuBefore = cpuMsOf(observed.bridge.process.processId());
        QElapsedTimer clock;
        clock.start();
        QLocalSocket silent, garbage, unknown;
        for (QLocalSocket* client : {&silent, &garbage, &unknown}) {
            client->connectToServer(observed.socket());
            QVERIFY(client->waitForConnected(2000));
        }
        garbage.write(QByteArray(64 * 1024, 'g'));
        unknown.write("bogus\n");

        terminal->write("piece");
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().endsWith("piece\r\n"), 1000);
        QByteArray unknownReply, garbageReply;
        QTRY_VERIFY_WITH_TIMEOUT(
            (unknownReply += unknown.readAll(), garbageReply += garbage.readAll(),
             silent.state() == QLocalSocket::UnconnectedState &&
                 garbage.state() == QLocalSocket::UnconnectedState &&
                 unknown.state() == QLocalSocket::UnconnectedState),
            3000);
        QVERIFY2(clock.elapsed() <= 2300, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(unknownReply.startsWith("error: unknown command"), unknownReply);
        QVERIFY2(garbageReply.startsWith("error: "), garbageReply);
        QCOMPARE(silent.readAll(), QByteArray());
        const double spent = cpuMsOf(observed.bridge.process.processId()) - cpuBefore;
        QVERIFY2(spent < 200, qPrintable(QString::number(spent)));
        QCOMPARE(observed.ask({"status"}).exitCode, 0);  // and the next client is served
    }

    void aStaleSocketIsReplacedALiveOneIsLeftToItsBridge() {
        QTemporaryDir runtime;
        {
            Observed killed(kSetup, runtime.path());
            QVERIFY(killed.start());
            killed.bridge.signal(SIGKILL);  // leaves its socket file behind, unanswered
            QVERIFY(killed.bridge.ended(3000));
            QVERIFY(QFileInfo::exists(killed.socket()));
        }
        FakeDvr dvr;
        Observed first(kSetup + row(1, dvr.port(), freePort()), runtime.path());
        QVERIFY(first.start());
        QVERIFY(first.bridge.logHas("control socket at"));
        const quint16 secondPos = freePort();
        Observed second(kSetup + row(3, dvr.port(), secondPos), runtime.path());
        QVERIFY(second.start());
        QVERIFY(second.bridge.logHas("is in use by another bridge"));
        QVERIFY(terminalOn(secondPos));  // the second bridge goes on without one

        second.bridge.signal(SIGTERM);
        QVERIFY(second.bridge.ended(5000));
        const Result status = first.ask({"status"});
        QCOMPARE(status.exitCode, 0);  // the first bridge's socket is still its own
        QVERIFY(status.out.contains("\n  1  ") && !status.out.contains("\n  3  "));
    }

    void ctlExitCodesNameTheFault_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("check good") << QStringList{"check", "DIR/good.ini"} << 0 << "ok\n";
        QTest::newRow("check bad") << QStringList{"check", "DIR/bad.ini"} << 1
                                   << "[Connection 3] POS_PORT: \"70000\" is not a port from 1 to "
                                      "65535\n";
        QTest::newRow("check missing") << QStringList{"check", "DIR/no.ini"} << 1 << "DIR/no.ini";
        QTest::newRow("check pipe")
            << QStringList{"check", "DIR/pipe.ini"} << 1 << "it is a pipe, not a file";
        // The port start-up listens on is one the checker passes.
        QTest::newRow("check signed port") << QStringList{"check", "DIR/signed.ini"} << 0 << "ok\n";
        QTest::newRow("no bridge")
            << QStringList{"status"} << 1 << "no bridge is running: DIR/poskavelin/control";
        QTest::newRow("no command") << QStringList{} << 2 << "usage:";
        QTest::newRow("instance a path") << QStringList{"metrics", "../x"} << 2 << "usage:";
    }
    void ctlExitCodesNameTheFault() {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QTemporaryDir dir;
        // A row switched off may hold anything, as the window lets a user type it.
        const QByteArray good = row(1, 9000, 9001) + "[Connection 2]\r\nIP=not an address\r\n";
        for (const auto& [name, ini] :
             {std::pair{"good.ini", good},
              std::pair{"bad.ini", good + "[Connection 3]\r\nENABLE=1\r\nPOS_PORT=70000\r\n"},
              std::pair{"signed.ini", row(1, 9000, 9001).replace("POS_PORT=", "POS_PORT= +")}}) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
        }
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("pipe.ini")).constData(), 0600), 0);
        const Result result = ctl(args.replaceInStrings("DIR", dir.path()), dir.path());
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2((result.out + result.err).contains(output.replace("DIR", dir.path()).toUtf8()),
                 result.out + result.err);
        QVERIFY(!QFileInfo::exists(dir.filePath("no.ini")));  // a check creates nothing
    }

    // Connections held open and silent take no place from a scrape.
    void idleClientsCannotStarveAScrape() {
        const quint16 metricsPort = freePort();
        Observed observed(kSetup + "Metrics=127.0.0.1:" + QByteArray::number(metricsPort) + "\r\n" +
                          row(1, freePort(), freePort()));
        QVERIFY(observed.start());
        QVERIFY(observed.bridge.logHas("metrics at"));
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 32; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, metricsPort);
            QVERIFY(idle.back()->waitForConnected(3000));
        }
        QTest::qWait(100);
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer clock;
            clock.start();
            const QByteArray scraped = httpExchange(metricsPort, "GET /metrics HTTP/1.1\r\n\r\n");
            QVERIFY2(scraped.startsWith("HTTP/1.1 200 OK"), scraped.left(200));
            QVERIFY(clock.elapsed() < 3000);
        }
    }

    void prometheusScrapesEveryChannel() {
        const QString prometheus = QStandardPaths::findExecutable("prometheus");
        if (prometheus.isEmpty()) {
            QSKIP("prometheus is not installed");
        }
        FakeDvr dvr;
        const quint16 pos = freePort();
        const QByteArray target = "127.0.0.1:" + QByteArray::number(freePort());
        Observed observed(kSetup + "Metrics=" + target + "\r\n" + row(1, dvr.port(), pos) +
                          row(2, dvr.port(), freePort()));
        QVERIFY(observed.start());
        auto terminal = terminalOn(pos);
        QVERIFY(terminal);
        terminal->write("one");
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().endsWith("one\r\n"), 3000);

        // A server of the test's own, on its own port and storage; the package's service,
        // if one runs, is another process that this one never talks to.
        QTemporaryDir dir;
        QFile config(dir.filePath("prometheus.yml"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            "global: {scrape_interval: 1s}\nscrape_configs:\n- job_name: poskavelin\n"
            "  static_configs: [{targets: ['" +
            target + "']}]\n");
        config.close();
        const QString api = QStringLiteral("127.0.0.1:%1").arg(freePort());
        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(prometheus, {"--config.file=" + config.fileName(),
                                  "--storage.tsdb.path=" + dir.filePath("data"),
                                  "--web.listen-address=" + api});
        QNetworkAccessManager http;
        QMap<QString, QString> pieces;  // channel -> value
        QElapsedTimer clock;
        clock.start();
        while (pieces.value("1") != "1" && clock.elapsed() < 30000 &&
               server.state() != QProcess::NotRunning) {
            QTest::qWait(500);
            QNetworkRequest request("http://" + api +
                                    "/api/v1/query?query=poskavelin_pieces_total");
            request.setTransferTimeout(2000);
            std::unique_ptr<QNetworkReply> reply(http.get(request));
            QSignalSpy(reply.get(), &QNetworkReply::finished).wait(3000);
            for (const QJsonValue& series :
                 QJsonDocument::fromJson(reply->readAll())["data"]["result"].toArray()) {
                pieces[series["metric"]["channel"].toString()] = series["value"][1].toString();
            }
        }
        server.terminate();
        server.waitForFinished(5000);
        // Prometheus's own linter on what it scraped: names, types, help and units.
        QProcess lint;
        lint.start(QStandardPaths::findExecutable("promtool"), {"check", "metrics"});
        lint.write(
            httpExchange(quint16(target.split(':')[1].toUInt()), "GET /metrics HTTP/1.0\r\n\r\n")
                .split('\n')
                .mid(5)
                .join('\n'));
        lint.closeWriteChannel();
        QVERIFY(lint.waitForFinished(10000));
        QVERIFY2(lint.exitCode() == 0, lint.readAll());
        QVERIFY2(pieces.value("1") == "1", server.readAll().right(2000));
        QCOMPARE(pieces.value("2"), QString("0"));
    }
};

QTEST_MAIN(TestControl)
#include "tst_control.moc"
