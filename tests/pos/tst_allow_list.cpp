#include <QTest>

#include "harness.h"
#include "pos/allow_list.h"

namespace {

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
