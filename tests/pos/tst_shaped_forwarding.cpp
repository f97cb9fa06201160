#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#include "bridge.h"
#include "harness.h"

namespace {

const QByteArray kShaping =
    "LINES=1\r\nLINE_IDLE_MS=100\r\nFILTER=escpos\r\nCODEPAGE=cp858\r\nDVR_CODEPAGE=utf-8\r\n"
    "MASK=pan\r\n";

// A receipt whole, a byte at a time, and cut at random places.
QList<QByteArrayList> segmentations(const QByteArray& all) {
    QList<QByteArrayList> ways{{all}, {}};
    for (const char c : all) {
        ways[1].append(QByteArray(1, c));
    }
    for (const quint32 seed : {11u, 12u, 13u}) {
        QRandomGenerator random(seed);
        QByteArrayList feeds;
        for (qsizetype at = 0; at < all.size(); at += feeds.back().size()) {
            feeds.append(all.mid(at, random.bounded(1, seed % 2 ? 40 : 1500)));
        }
        ways.append(feeds);
    }
    return ways;
}

}  // namespace

class TestShapedForwarding : public QObject {
    Q_OBJECT
private slots:
    // Each receipt of tests/pos/data, sent by a terminal that then closes, reaches the DVR
    // as exactly its lines however the terminal's writes were cut; a row with a bad key
    // stays closed and says which key, while its neighbour works.
    void realProgramShowsEachReceiptAsItsLines() {
        FakeDvr dvr;
        FakeDvr otherDvr;
        const quint16 pos = freePort();
        const quint16 badPos = freePort();
        Bridge bridge("[Setup]\r\nHide=1\r\nAutoRun=1\r\n" + row(1, dvr.port(), pos) + kShaping +
                      row(2, otherDvr.port(), badPos) + "LINES=2\r\n");
        bridge.start();

        const QDir data(QFINDTESTDATA("data"));
        const QStringList receipts = data.entryList({QStringLiteral("*.bin")});
        QVERIFY(receipts.size() >= 5);
        QByteArray shown;
        for (const QString& receipt : receipts) {
            QFile bin(data.filePath(receipt));
            QFile lines(data.filePath(receipt.chopped(4) + ".expected"));
            QVERIFY(bin.open(QIODevice::ReadOnly) && lines.open(QIODevice::ReadOnly));
            const QByteArray expected = lines.readAll().replace('\n', "\r\n");
            for (const QByteArrayList& writes : segmentations(bin.readAll())) {
                std::unique_ptr<QTcpSocket> terminal = terminalOn(pos);
                QVERIFY(terminal);
                terminal->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                for (const QByteArray& write : writes) {
                    terminal->write(write);
                    terminal->waitForBytesWritten(1000);
                }
                terminal->disconnectFromHost();
                shown += expected;
                QVERIFY2(
                    QTest::qWaitFor([&] { return dvr.received().size() >= shown.size(); }, 5000),
                    qPrintable(receipt));
                QCOMPARE(dvr.received(), shown);
            }
        }

        // A line without its end goes out once the terminal pauses, the terminal still on.
        std::unique_ptr<QTcpSocket> terminal = terminalOn(pos);
        QVERIFY(terminal);
        terminal->write("Bon 42");
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), shown + "Bon 42\r\n", 3000);
        QCOMPARE(terminal->state(), QAbstractSocket::ConnectedState);

        QVERIFY(
            bridge.logHas("channel 2: LINES \"2\": expected 0 or 1; the channel will not "
                          "listen for its terminal"));
        QCOMPARE(otherDvr.connectionCount(), 1);
        QVERIFY(!connectTerminal(badPos, 200));
        // Qt's own warnings would fill the log of every shop.
        QVERIFY2(!bridge.log().contains(" default: "), bridge.log().constData());
    }

    // The printer gets the text the DVR gets, and saving leaves the keys as they were.
    void printsShapedTextAndSaveKeepsTheKeys() {
        const QByteArray keys = "MASK=pan\r\nLINES=1\r\nFILTER=ESCPOS  \r\n";
        Harness h("[Connection 3]\r\n" + keys, true);
        h.load();
        FakeDvr dvr;
        std::unique_ptr<QTcpSocket> terminal = h.openRow(3, dvr.port());
        QVERIFY(terminal);
        h.printers.current = PrinterInfo{"Receipts", "usb://x"};
        h.w().PrinterOn = 1;
        terminal->write(QByteArray("\x1b@Visa 4111 1111 1111 1111\r\n\x1dV") + '\0');
        QTRY_COMPARE_WITH_TIMEOUT(h.printers.jobs(), QByteArrayList{"Visa 4111 11** **** 1111"},
                                  3000);
        QCOMPARE(dvr.received(), "Visa 4111 11** **** 1111\r\n");

        h.w().Export_Click();
        QVERIFY(h.iniBytes().contains(keys));
    }
};

QTEST_MAIN(TestShapedForwarding)
#include "tst_shaped_forwarding.moc"
