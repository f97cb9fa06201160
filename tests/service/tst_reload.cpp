#include <signal.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include "bridge.h"
#include "harness.h"

namespace {

const QByteArray kSetup = "[Setup]\r\nHide=1\r\nAutoRun=1\r\n";

QByteArray token(int row, int n) {
    return QStringLiteral("<r%1:%2>")
        .arg(row, 2, 10, QLatin1Char('0'))
        .arg(n, 6, 10, QLatin1Char('0'))
        .toLatin1();
}

// The numbers of the row's tokens in the order the DVR got them.
QList<int> tokensOf(const QByteArray& received, int row) {
    QList<int> numbers;
    const QRegularExpression pattern(
        QStringLiteral("<r%1:(\\d{6})>").arg(row, 2, 10, QLatin1Char('0')));
    for (auto it = pattern.globalMatch(QString::fromLatin1(received)); it.hasNext();) {
        numbers.append(it.next().captured(1).toInt());
    }
    return numbers;
}

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), text.size());
}

QByteArray rowWithout(int n, quint16 dvr, quint16 pos, const QByteArray& dropped) {
    QByteArray text = row(n, dvr, pos);
    const qsizetype at = text.indexOf(dropped);
    return at < 0 ? text : text.remove(at, text.indexOf("\r\n", at) + 2 - at);
}

}  // namespace

class TestReload : public QObject {
    Q_OBJECT
private slots:
    // 16 terminals send all along; a reload changes rows 3 and 9 (a new POS port and a new
    // DVR), then a bad file is refused. Every other row keeps its terminal and DVR link and
    // gets every line once, in order.
    void reloadUnderLoadTouchesOnlyTheChangedRows() {
        QList<FakeDvr*> dvrs;
        QList<quint16> ports;
        for (int n = 1; n <= 16; ++n) {
            dvrs.append(new FakeDvr);
            ports.append(freePort());
        }
        const auto ini = [&](int changedPort3, quint16 dvr9, const QByteArray& extra) {
            QByteArray text = kSetup;
            for (int n = 1; n <= 16; ++n) {
                text += row(n, n == 9 ? dvr9 : dvrs[n - 1]->port(),
                            n == 3 && changedPort3 ? changedPort3 : ports[n - 1]);
                text += n == 5 ? extra : QByteArray();
            }
            return text;
        };
        FakeDvr newDvr9;
        const quint16 newPort3 = freePort();
        Bridge bridge(ini(0, dvrs[8]->port(), {}));
        bridge.start();
        QList<std::shared_ptr<QTcpSocket>> terminals;
        for (int n = 1; n <= 16; ++n) {
            terminals.append(terminalOn(ports[n - 1]));
            QVERIFY2(terminals.back(), qPrintable(QString::number(n)));
        }
        const auto writeIni = [&](const QByteArray& text) {
            QFile file(bridge.dir.filePath("PosKavelin.ini"));
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(text);
        };

        constexpr int kLines = 300;
        for (int i = 0; i < kLines; ++i) {
            for (int n = 1; n <= 16; ++n) {
                terminals[n - 1]->write(token(n, i));
                terminals[n - 1]->flush();
            }
            QTest::qWait(3);
            if (i == 100) {
                writeIni(ini(newPort3, newDvr9.port(), {}));
                bridge.signal(SIGHUP);
                QVERIFY(bridge.logHas("reloaded, rows changed: 3, 9"));
            } else if (i == 200) {
                writeIni(ini(newPort3, newDvr9.port(), "ALLOW=10.0.0.300\r\n"));
                bridge.signal(SIGHUP);
                QVERIFY(bridge.logHas("reload refused, nothing changed: [Connection 5] ALLOW"));
            }
        }

        for (int n = 1; n <= 16; ++n) {
            if (n == 3 || n == 9) {
                continue;
            }
            QList<int> expected;
            for (int i = 0; i < kLines; ++i) {
                expected.append(i);
            }
            QTRY_COMPARE_WITH_TIMEOUT(tokensOf(dvrs[n - 1]->received(), n), expected, 5000);
            QCOMPARE(dvrs[n - 1]->connectionCount(), 1);
            QCOMPARE(terminals[n - 1]->state(), QAbstractSocket::ConnectedState);
        }
        qInfo("rows 1-16 but 3 and 9: %d lines each, none lost, one DVR link each", kLines);

        // The changed rows: their terminals were let go, and the new settings carry.
        QTRY_COMPARE_WITH_TIMEOUT(terminals[2]->state(), QAbstractSocket::UnconnectedState, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(newDvr9.connectionCount(), 1, 3000);
        std::unique_ptr<QTcpSocket> row3 = terminalOn(newPort3);
        std::unique_ptr<QTcpSocket> row9 = terminalOn(ports[8]);
        QVERIFY(row3 && row9);
        row3->write("row 3 anew");
        row9->write("row 9 anew");
        QTRY_VERIFY_WITH_TIMEOUT(dvrs[2]->received().endsWith("row 3 anew\r\n"), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(newDvr9.received().endsWith("row 9 anew\r\n"), 3000);
        QVERIFY(!connectTerminal(ports[2], 200));
        qDeleteAll(dvrs);
    }

    // A reload runs with nobody at the window: what a handler would put in a box goes into
    // the reply instead, and a reload asked for while a box is open is refused, not run
    // inside it.
    void reloadOpensNoBoxAndIsNotRunInsideOne() {
        Harness h(kSetup + "[Connection 1]\r\nENABLE=1\r\nDVR_PORT=9000\r\nPOS_PORT=9001\r\n",
                  true);
        h.load();
        h.boxes.clear();
        writeFile(h.iniPath(), kSetup +
                                   "[Connection 1]\r\nENABLE=1\r\nDVR_PORT=9100\r\n"
                                   "POS_PORT=9001\r\n");
        bool ok = false;
        const QString reply = h.w().Reload(&ok);
        QVERIFY2(ok, qPrintable(reply));
        QVERIFY2(reply.contains("warning: POS 1: Invalid IP of DVR."), qPrintable(reply));
        QCOMPARE(h.boxes.size(), 0);

        QString inside;
        h.whileBoxOpen = [&] {
            bool innerOk = true;
            inside = h.w().Reload(&innerOk);
            QVERIFY(!innerOk);
        };
        h.w().cmdConnect_Click(1);  // the user's Connect: the box is theirs
        QCOMPARE(h.boxes.size(), 1);
        QVERIFY2(inside.startsWith("reload refused, nothing changed: the window is showing"),
                 qPrintable(inside));
    }

    // A pipe in the file's place is refused at once, by a reload and by the checker alike,
    // and the bridge keeps forwarding.
    void pipeInPlaceOfTheFileIsRefusedAtOnce() {
        FakeDvr dvr;
        Harness h;
        auto terminal = h.openRow(1, dvr.port());
        QVERIFY(terminal);
        QFile::remove(h.iniPath());
        QCOMPARE(::mkfifo(QFile::encodeName(h.iniPath()).constData(), 0600), 0);
        QElapsedTimer clock;
        clock.start();
        bool ok = true;
        const QString reply = h.w().Reload(&ok);
        QVERIFY(!ok);
        QVERIFY2(reply.contains("it is a pipe, not a file"), qPrintable(reply));
        QVERIFY(clock.elapsed() < 1000);
        terminal->write("still here");
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("still here\r\n"), 3000);
    }

    // A row without an ENABLE line keeps the box the user set; reloading the same file
    // leaves its terminal and DVR link alone, however often.
    void rowWithoutEnableIsNotTornDownByReloads() {
        FakeDvr dvr;
        const quint16 pos = freePort();
        Harness h(QByteArray(kSetup).replace("AutoRun=1", "AutoRun=0") +
                      rowWithout(1, dvr.port(), pos, "ENABLE="),
                  true);
        h.load();
        h.w().chkEnable(1)->setValue(1);
        h.w().cmdConnect_Click(1);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 3000);
        auto terminal = connectTerminal(pos);
        QVERIFY(terminal);
        QTRY_VERIFY_WITH_TIMEOUT(h.w().PosConnected(1) != 0, 3000);
        for (int i = 0; i < 3; ++i) {
            bool ok = false;
            QCOMPARE(h.w().Reload(&ok), QString("reloaded, no row changed"));
        }
        terminal->write("kept");
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("kept\r\n"), 3000);
        QCOMPARE(dvr.connectionCount(), 1);
        QCOMPARE(terminal->state(), QAbstractSocket::ConnectedState);
    }

    // An ALLOW line the reader does not take would let anyone in: a reload refuses the file
    // as the checker does, and start-up keeps the row closed.
    void nearMissAllowLineFailsClosedEverywhere() {
        FakeDvr dvr;
        const quint16 pos = freePort();
        const QByteArray ini = kSetup + row(1, dvr.port(), pos) + "ALLOW = 127.0.0.2\r\n";
        Harness h(kSetup + row(1, dvr.port(), pos), true);
        h.load();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 3000);
        writeFile(h.iniPath(), ini);
        bool ok = true;
        const QString reply = h.w().Reload(&ok);
        QVERIFY(!ok);
        QVERIFY2(reply.contains("[Connection 1] ALLOW: line ") &&
                     reply.contains("looks like the row's list but is not read as one"),
                 qPrintable(reply));

        Harness fresh(ini, true);
        fresh.load();
        QTRY_COMPARE_WITH_TIMEOUT(fresh.w().lbStatus(1)->text(), QString("Connected"), 3000);
        QCOMPARE(fresh.w().tcpServer(1)->State(), int(Winsock::sckClosed));
    }

    // A changed row is handed over as the stop does: the terminal gets FIN once its bytes
    // have been read, and a DVR that reads slowly still gets every one of them.
    void changedRowHandsOverWhatItsTerminalSent() {
        QTcpServer slowDvr;
        QVERIFY(slowDvr.listen(QHostAddress::LocalHost));
        QList<QTcpSocket*> links;
        connect(&slowDvr, &QTcpServer::newConnection, this, [&] {
            links.append(slowDvr.nextPendingConnection());
            // Qt would read everything at once; bounded, the rest waits in the kernel.
            links.last()->setReadBufferSize(64 * 1024);
        });
        const quint16 pos = freePort();
        const QByteArray before = kSetup + row(1, slowDvr.serverPort(), pos);
        Harness h(before, true);
        h.load();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 3000);
        auto terminal = connectTerminal(pos);
        QVERIFY(terminal);
        QTRY_VERIFY_WITH_TIMEOUT(h.w().PosConnected(1) != 0, 3000);

        const QByteArray sent(3 << 20, 'x');
        terminal->write(sent);
        QTest::qWait(300);  // the DVR has read nothing yet: most of it waits in between
        writeFile(h.iniPath(), before + "ALLOW=127.0.0.1\r\n");
        bool ok = false;
        QCOMPARE(h.w().Reload(&ok), QString("reloaded, rows changed: 1"));

        QByteArray received;
        QElapsedTimer clock;
        clock.start();
        while (received.count('x') < sent.size() && clock.elapsed() < 10000) {
            QTest::qWait(20);
            if (!links.isEmpty()) {
                received += links.first()->readAll();
            }
        }
        QCOMPARE(received.count('x'), sent.size());
        QTRY_COMPARE_WITH_TIMEOUT(terminal->state(), QAbstractSocket::UnconnectedState, 3000);
        QCOMPARE(terminal->error(), QAbstractSocket::RemoteHostClosedError);
        // And the row is back, on its new list.
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 5000);
    }

    // A row with a printer behind it serves its till while the DVR is down, so a reload hands
    // it over just the same: the printer gets every byte the till sent before the change.
    // And an unchanged row with printer keys is not taken for a changed one.
    void printerRowWithItsDvrDownIsHandedOver() {
        QTcpServer printer;
        QVERIFY(printer.listen(QHostAddress::LocalHost));
        QList<QTcpSocket*> links;
        connect(&printer, &QTcpServer::newConnection, this, [&] {
            links.append(printer.nextPendingConnection());
            links.last()->setReadBufferSize(64 * 1024);
        });
        const quint16 pos = freePort();
        const QByteArray before = kSetup + row(1, freePort(), pos) + "RECEIPT_PRINTER=127.0.0.1:" +
                                  QByteArray::number(printer.serverPort()) + "\r\n";
        Harness h(before, true);
        h.load();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 3000);
        auto terminal = connectTerminal(pos);
        QVERIFY(terminal);
        QTRY_COMPARE_WITH_TIMEOUT(links.size(), 1, 3000);

        // Unchanged, its printer keys included, the row is left alone.
        bool ok = false;
        QCOMPARE(h.w().Reload(&ok), QString("reloaded, no row changed"));
        const QByteArray sent(3 << 20, 'x');
        terminal->write(sent);
        QTest::qWait(300);
        writeFile(h.iniPath(), before + "ALLOW=127.0.0.1\r\n");
        QCOMPARE(h.w().Reload(&ok), QString("reloaded, rows changed: 1"));
        // Not torn down at once: the till has been sent FIN and may finish.
        QVERIFY(h.w().PosConnected(1) != 0);

        QByteArray printed;
        QElapsedTimer clock;
        clock.start();
        while (printed.size() < sent.size() && clock.elapsed() < 10000) {
            QTest::qWait(20);
            printed += links.first()->readAll();
        }
        QCOMPARE(printed.size(), sent.size());
        QTRY_COMPARE_WITH_TIMEOUT(terminal->state(), QAbstractSocket::UnconnectedState, 3000);
        QCOMPARE(terminal->error(), QAbstractSocket::RemoteHostClosedError);
    }
};

QTEST_MAIN(TestReload)
#include "tst_reload.moc"
