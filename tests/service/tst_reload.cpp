#include <signal.h>

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
};

QTEST_MAIN(TestReload)
#include "tst_reload.moc"
