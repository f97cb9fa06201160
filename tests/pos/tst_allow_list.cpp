#include <QTest>

#include "harness.h"
#include "pos/allow_list.h"
#include "settings/ini.h"

namespace {

// Keeps the log lines that hold `part` and passes every other one on.
struct KeptLines {
    static inline QString part;
    static inline QStringList lines;
    static inline QtMessageHandler previous = nullptr;
    explicit KeptLines(const QString& wanted) {
        part = wanted;
        lines.clear();
        previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                text.contains(part) ? lines.append(text) : previous(type, context, text);
            });
    }
    ~KeptLines() { qInstallMessageHandler(previous); }
};

QString notRead(const QString& where, int line, const QString& text, const QString& why) {
    return QString("%1: line %2 \"%3\" is not read as an ALLOW line (%4)")
        .arg(where, QString::number(line), text, why);
}

std::unique_ptr<QTcpSocket> terminalFrom(const char* source, quint16 port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->bind(QHostAddress(QString::fromLatin1(source)));
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket->waitForConnected(3000) ? std::move(socket) : nullptr;
}

QByteArray rowWithAllow(quint16 dvr, quint16 pos, const QByteArray& allow) {
    return "[Setup]\r\nAutoRun=1\r\n\r\n[Connection 1]\r\nALLOW=" + allow +
           "\r\nIP=127.0.0.1\r\nDVR_PORT=" + QByteArray::number(dvr) +
           "\r\nPOS_PORT=" + QByteArray::number(pos) + "\r\nENABLE=1\r\n";
}

}  // namespace

class TestAllowList : public QObject {
    Q_OBJECT
private slots:
    void listsMatchAddressesAndRanges_data() {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("empty lets anyone in") << QByteArray("") << "203.0.113.9" << true;
        QTest::newRow("one address") << QByteArray("192.168.1.50") << "192.168.1.50" << true;
        QTest::newRow("another") << QByteArray("192.168.1.50") << "192.168.1.51" << false;
        QTest::newRow("range, blanks and commas")
            << QByteArray("192.168.1.50, 10.1.2.0/24") << "10.1.2.200" << true;
        QTest::newRow("outside the range") << QByteArray("10.1.2.0/24") << "10.1.3.1" << false;
        QTest::newRow("IPv4-mapped peer") << QByteArray("10.1.2.0/24") << "::ffff:10.1.2.7" << true;
        QTest::newRow("IPv6 range") << QByteArray("2001:db8::/32") << "2001:db8::5" << true;
    }
    void listsMatchAddressesAndRanges() {
        QFETCH(QByteArray, list);
        QFETCH(QString, peer);
        QFETCH(bool, allowed);
        const auto parsed = AllowList::parse(list, nullptr);
        QVERIFY(parsed);
        QCOMPARE(parsed->allows(QHostAddress(peer)), allowed);
    }

    void badEntriesAreNamed_data() {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QString>("bad");
        QTest::newRow("prefix too long") << QByteArray("10.1.2.0/33") << "10.1.2.0/33";
        QTest::newRow("cut short") << QByteArray("10.0.0.1 192.168.1.") << "192.168.1.";
        QTest::newRow("host name") << QByteArray("till.shop.lan") << "till.shop.lan";
    }
    void badEntriesAreNamed() {
        QFETCH(QByteArray, list);
        QFETCH(QString, bad);
        QString named;
        QVERIFY(!AllowList::parse(list, &named));
        QCOMPARE(named, bad);
    }

    // The checks of ALLOW lines must split lines and sections exactly as ReadIni does.
    void lineScannerAgreesWithReadIni_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("lone CR ends a line") << QByteArray("[A]\rk=1\r");
        QTest::newRow("lone LF does not") << QByteArray("[A]\r\nx=1\nk=2\r\n");
        QTest::newRow("[ ends the section") << QByteArray("[A]\r\nx=[1]\r\nk=2");
        QTest::newRow("exact heading, first") << QByteArray("[A] \r\nk=1\r\n[a]\r\nK=2\r\nk=3");
    }
    void lineScannerAgreesWithReadIni() {
        QFETCH(QByteArray, file);
        Harness h(file, true);
        QByteArray scanned;
        for (const IniLine& line : readIniLines(h.iniPath())) {
            if (scanned.isNull() && !line.isHeading && iniOpensSection(line.heading, "A") &&
                isIniKeyLine(line.text, "k")) {
                scanned = line.text.mid(2);
            }
        }
        QCOMPARE(scanned, ReadIni(h.iniPath(), "A", "k"));
    }

    void strayAllowLinesAreWarned_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("warning");
        const QByteArray row = "[Connection 3]\r\nIP=10.0.0.5\r\n";
        const QString ch3 = "channel 3";
        QTest::newRow("blanks around =")
            << row + "ALLOW = 10.0.0.1"
            << notRead(ch3, 3, "ALLOW = 10.0.0.1", "blanks before \"=\"");
        QTest::newRow("leading blanks")
            << row + " ALLOW=10.0.0.1"
            << notRead(ch3, 3, " ALLOW=10.0.0.1", "blanks before the key");
        QTest::newRow("colon") << row + "ALLOW:10.0.0.1"
                               << notRead(ch3, 3, "ALLOW:10.0.0.1", "\":\" instead of \"=\"");
        for (const QString key : {"ALOW", "ALLOWED", "ALLOW_IP", "Allows"}) {
            QTest::newRow(qPrintable(key))
                << row + key.toLatin1() + "=10.0.0.1"
                << notRead(ch3, 3, key + "=10.0.0.1", "the key is \"" + key + "\", not ALLOW");
        }
        QTest::newRow("second") << row + "ALLOW=10.0.0.1\r\nALLOW=10.0.0.9"
                                << notRead(ch3, 4, "ALLOW=10.0.0.9",
                                           "line 3 is read instead, as the first in file order");
        QTest::newRow("bracket") << row + "ALLOW=[::1]"
                                 << notRead(ch3, 3, "ALLOW=[::1]",
                                            "a line holding \"[\" is read as a section heading");
        QTest::newRow("lone LF") << row + "ENABLE=1\nALLOW=10.0.0.1"
                                 << notRead(
                                        ch3, 4, "ALLOW=10.0.0.1",
                                        "a lone LF does not end a line; this is part of line 3");
        const QString rowsOnly = "ALLOW is read only in [Connection 1] to [Connection 16]";
        QTest::newRow("Setup") << QByteArray("[Setup]\r\nALLOW=10.0.0.1")
                               << notRead("section \"[Setup]\"", 2, "ALLOW=10.0.0.1", rowsOnly);
        QTest::newRow("row 17") << QByteArray("[Connection 17]\r\nALLOW=10.0.0.1")
                                << notRead("section \"[Connection 17]\"", 2, "ALLOW=10.0.0.1",
                                           rowsOnly);
        QTest::newRow("before any section")
            << QByteArray("\r\nALLOW=10.0.0.1")
            << notRead("before any section", 2, "ALLOW=10.0.0.1", rowsOnly);
        QTest::newRow("correct") << row + "ALLOW=10.0.0.1\r\nALL=1" << QString();
        QTest::newRow("other case") << row + "allow= 10.0.0.1" << QString();
    }
    void strayAllowLinesAreWarned() {
        QFETCH(QByteArray, file);
        QFETCH(QString, warning);
        KeptLines kept("as an ALLOW line");
        Harness h(file, true);
        h.load();
        QCOMPARE(kept.lines, warning.isEmpty() ? QStringList() : QStringList{warning});
    }

    void listeningRowSaysOnceWhomItAccepts_data() {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QString>("accepted");
        QTest::newRow("list") << QByteArray("::ffff:127.0.0.2,10.1.2.0/24")
                              << "127.0.0.2, 10.1.2.0/24";
        QTest::newRow("no list") << QByteArray() << "any address";
    }
    void listeningRowSaysOnceWhomItAccepts() {
        QFETCH(QByteArray, list);
        QFETCH(QString, accepted);
        KeptLines kept("accepts terminals");
        FakeDvr dvr;
        const quint16 pos = freePort();
        Harness h(rowWithAllow(dvr.port(), pos, list), true);
        h.load();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 3000);
        auto till = terminalFrom("127.0.0.2", pos);  // leaves, and the row listens again
        QVERIFY(till);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Connected"), 3000);
        till->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 3000);
        QCOMPARE(kept.lines, QStringList{"channel 1: accepts terminals from " + accepted});
    }

    void refusedPeerIsTurnedAwayAndTheAllowedOneServed() {
        FakeDvr dvr;
        const quint16 pos = freePort();
        Harness h(rowWithAllow(dvr.port(), pos, "127.0.0.2"), true);
        h.load();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 3000);

        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("channel 1: refused terminal 127.0.0.1"));
        auto stranger = terminalFrom("127.0.0.1", pos);
        QVERIFY(stranger);
        QTRY_COMPARE_WITH_TIMEOUT(stranger->state(), QAbstractSocket::UnconnectedState, 3000);
        QCOMPARE(h.w().PosConnected(1), 0);
        QCOMPARE(h.w().lbPCStatus(1)->text(), QString("Listening"));

        auto till = terminalFrom("127.0.0.2", pos);
        QVERIFY(till);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Connected"), 3000);
        till->write("TOTAL 12.50");
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("TOTAL 12.50\r\n"), 3000);
    }

    void badListKeepsTheRowClosedButItsDvrLinkUp() {
        FakeDvr dvr;
        Harness h(rowWithAllow(dvr.port(), freePort(), "10.1.2.0/33"), true);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("channel 1: ALLOW entry \"10.1.2.0/33\""));
        h.load();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(1)->text(), QString("Connected"), 3000);
        QCOMPARE(h.w().lbPCStatus(1)->text(), QString("Closed"));
        QCOMPARE(background(h.w().lbPCStatus(1)), QColor(255, 0, 0));
        QCOMPARE(h.w().tcpServer(1)->State(), int(Winsock::sckClosed));
    }

    void savingLeavesTheAllowLineAlone() {
        const QByteArray line = "\r\nALLOW=127.0.0.2 ,  10.1.2.0/24\r\n";
        Harness h(rowWithAllow(1, 2, "127.0.0.2 ,  10.1.2.0/24").replace("AutoRun=1", "AutoRun=0"),
                  true);
        h.load();
        h.w().Export_Click();
        QVERIFY(h.iniBytes().contains("[Connection 1]" + line));
        const QByteArray first = h.iniBytes();
        h.w().Export_Click();
        QCOMPARE(h.iniBytes(), first);
        h.w().chkAuto->setValue(1);
        h.w().txtIP(1)->setText("10.0.0.9");
        h.w().Export_Click();
        QVERIFY(h.iniBytes().contains("[Connection 1]" + line));
    }
};

QTEST_MAIN(TestAllowList)
#include "tst_allow_list.moc"
