#include <QSignalSpy>
#include <QTest>

#include "harness.h"

// The DVR link of a row, seen through its controls: the labels, the buttons and the
// locked fields are the link's state as the user and "ConnectAll" see it.
class TestDvrLink : public QObject {
    Q_OBJECT

    static void verifyLook(QLabel* label, const QString& caption, const QColor& bg,
                           const QColor& fg) {
        QCOMPARE(label->text(), caption);
        QCOMPARE(background(label), bg);
        QCOMPARE(textColour(label), fg);
    }
    static void verifyFieldsLocked(frmKavelin& w, int i, bool locked) {
        QCOMPARE(w.txtIP(i)->isEnabled(), !locked);
        QCOMPARE(w.txtPort(i)->isEnabled(), !locked);
        QCOMPARE(w.txtPortOpen(i)->isEnabled(), !locked);
        QCOMPARE(w.chkEnable(i)->isEnabled(), !locked);
    }
    static void verifyIdle(frmKavelin& w, int i) {
        verifyLook(w.lbStatus(i), "Not Connected", look::kRed, look::kWhite);
        verifyLook(w.lbPCStatus(i), "Closed", look::kRed, look::kWhite);
        QVERIFY(w.cmdConnect(i)->isEnabled());
        QVERIFY(!w.cmdDisconnect(i)->isEnabled());
        QCOMPARE(w.cmdDisconnect(i)->text(), QString("Disconnect"));
        QCOMPARE(w.PosConnected(i), 0);
        QCOMPARE(w.DvrConnected(i), 0);
        verifyFieldsLocked(w, i, false);
    }

private slots:
    void connectGoesConnectingThenConnectedAndListens() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos = freePort();
        h.setRow(3, "127.0.0.1", dvr.port(), pos);
        QTest::mouseClick(h.w().cmdConnect(3), Qt::LeftButton);

        verifyLook(h.w().lbStatus(3), "Connecting", look::kYellow, look::kBlack);
        QCOMPARE(h.w().cmdDisconnect(3)->text(), QString("Stop Connecting"));
        QVERIFY(h.w().cmdDisconnect(3)->isEnabled());
        QVERIFY(!h.w().cmdConnect(3)->isEnabled());
        verifyFieldsLocked(h.w(), 3, true);

        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(3)->text(), QString("Connected"), 3000);
        verifyLook(h.w().lbStatus(3), "Connected", look::kGreen, look::kBlack);
        verifyLook(h.w().lbPCStatus(3), "Listening", look::kYellow, look::kBlack);
        QCOMPARE(h.w().cmdDisconnect(3)->text(), QString("Disconnect"));
        QCOMPARE(h.w().DvrConnected(3), frmKavelin::kTrue);
        verifyFieldsLocked(h.w(), 3, true);
        QCOMPARE(dvr.connectionCount(), 1);
        QVERIFY(h.boxes.isEmpty());

        QTest::mouseClick(h.w().cmdDisconnect(3), Qt::LeftButton);
        verifyIdle(h.w(), 3);
        QTRY_COMPARE_WITH_TIMEOUT(dvr.liveLinks(), 0, 3000);
        QVERIFY(!connectTerminal(pos, 500));
    }

    void badFieldsWarnAndChangeNothing_data() {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("warning");
        const QString badPort3 = "POS 3: Invalid Port of DVR.\r\n";
        const QString badIp3 = "POS 3: Invalid IP of DVR.\r\n";
        QTest::newRow("both wrong") << 3 << "80a"
                                    << "10.0.0" << badPort3 + badIp3;
        QTest::newRow("empty port") << 3 << ""
                                    << "10.0.0.5" << badPort3;
        QTest::newRow("leading blank") << 3 << " 80"
                                       << "10.0.0.5" << badPort3;
        QTest::newRow("beyond tcp") << 3 << "65536"
                                    << "10.0.0.5" << badPort3;
        QTest::newRow("huge") << 3 << QString(40, '9') << "10.0.0.5" << badPort3;
        QTest::newRow("five parts") << 3 << "80"
                                    << "10.0.0.5.1" << badIp3;
        QTest::newRow("octet too big") << 3 << "80"
                                       << "256.1.1.1" << badIp3;
        QTest::newRow("empty part") << 3 << "80"
                                    << "10..0.5" << badIp3;
        QTest::newRow("host name") << 3 << "80"
                                   << "dvr.local" << badIp3;
        QTest::newRow("empty ip") << 3 << "80"
                                  << "" << badIp3;
        QTest::newRow("channel 12 port")
            << 12 << "x"
            << "10.0.0.5" << QString("POS 12: Invalid Port of DVR.\r\n");
    }
    void badFieldsWarnAndChangeNothing() {
        QFETCH(int, channel);
        QFETCH(QString, port);
        QFETCH(QString, ip);
        QFETCH(QString, warning);
        Harness h;
        h.w().txtPort(channel)->setText(port);
        h.w().txtIP(channel)->setText(ip);
        h.w().chkEnable(channel)->setValue(1);
        frmKavelin::paintLabel(h.w().lbStatus(channel), "Earlier", look::kGreen, look::kBlack);

        h.w().cmdConnect_Click(channel);

        QCOMPARE(h.boxes.size(), 1);
        QCOMPARE(h.boxes[0].text, warning);
        QCOMPARE(h.boxes[0].icon, MsgIcon::Exclamation);
        QCOMPARE(h.boxes[0].title, frmKavelin::kAppTitle);
        verifyLook(h.w().lbStatus(channel), "Earlier", look::kGreen, look::kBlack);
        QVERIFY(h.w().cmdConnect(channel)->isEnabled());
        QVERIFY(!h.w().cmdDisconnect(channel)->isEnabled());
        verifyFieldsLocked(h.w(), channel, false);
        QCOMPARE(h.w().tcpClient(channel)->State(), int(Winsock::sckClosed));
    }

    void acceptedPortTextsConnect() {
        Harness h;
        h.setRow(1, "127.0.0.1", 0, freePort());
        h.w().txtPort(1)->setText("0");
        h.w().cmdConnect_Click(1);
        QVERIFY(h.boxes.isEmpty());
        QCOMPARE(h.w().lbStatus(1)->text(), QString("Connecting"));

        FakeDvr dvr;
        h.setRow(2, "127.000.0.001", 0, freePort());
        h.w().txtPort(2)->setText(QString("000") + QString::number(dvr.port()));
        h.w().cmdConnect_Click(2);
        QCOMPARE(h.w().tcpClient(2)->RemotePort(), qint32(dvr.port()));
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(2)->text(), QString("Connected"), 3000);
        QVERIFY(h.boxes.isEmpty());
    }

    void refusedAttemptsRetryPacedUntilStopped() {
        Harness h;
        const quint16 dvrPort = freePort();  // nothing listens here yet
        h.setRow(1, "127.0.0.1", dvrPort, freePort());
        QSignalSpy errors(h.w().tcpClient(1), &Winsock::error);
        h.w().cmdConnect_Click(1);

        QTest::qWait(3200);
        // Without pacing a refused connect would be retried thousands of times a second.
        QVERIFY2(errors.size() >= 2 && errors.size() <= 5,
                 qPrintable(QString::number(errors.size())));
        verifyLook(h.w().lbStatus(1), "Connecting", look::kYellow, look::kBlack);
        QCOMPARE(h.w().cmdDisconnect(1)->text(), QString("Stop Connecting"));
        verifyFieldsLocked(h.w(), 1, true);
        QVERIFY(h.boxes.isEmpty());

        FakeDvr dvr(dvrPort);
        QElapsedTimer upIn;
        upIn.start();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(1)->text(), QString("Connected"), 3000);
        QVERIFY2(upIn.elapsed() < 1500, qPrintable(QString::number(upIn.elapsed())));

        h.w().cmdDisconnect_Click(1);
        verifyIdle(h.w(), 1);
    }

    void stopConnectingReturnsToIdle() {
        Harness h;
        h.setRow(5, "127.0.0.1", freePort(), freePort());
        h.w().cmdConnect_Click(5);
        QTest::qWait(50);
        QTest::mouseClick(h.w().cmdDisconnect(5), Qt::LeftButton);
        verifyIdle(h.w(), 5);
        QSignalSpy errors(h.w().tcpClient(5), &Winsock::error);
        QTest::qWait(1300);
        QCOMPARE(errors.size(), 0);  // no attempt survives the stop
        verifyIdle(h.w(), 5);
    }

    void peerCloseReconnectsWithPosSideClosed() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos = freePort();
        h.setRow(2, "127.0.0.1", dvr.port(), pos);
        h.w().cmdConnect_Click(2);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(2)->text(), QString("Listening"), 3000);
        auto terminal = connectTerminal(pos);
        QVERIFY(terminal);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(2)->text(), QString("Connected"), 3000);

        dvr.dropLinks();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(2)->text(), QString("Connecting"), 3000);
        verifyLook(h.w().lbPCStatus(2), "Closed", look::kRed, look::kWhite);
        QCOMPARE(h.w().PosConnected(2), 0);
        QCOMPARE(h.w().DvrConnected(2), 0);
        QVERIFY(!h.w().txtPortOpen(2)->isEnabled());
        QVERIFY(!h.w().chkEnable(2)->isEnabled());
        QCOMPARE(h.w().cmdDisconnect(2)->text(), QString("Stop Connecting"));
        QTRY_COMPARE_WITH_TIMEOUT(terminal->state(), QAbstractSocket::UnconnectedState, 3000);

        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(2)->text(), QString("Connected"), 3000);
        QCOMPARE(dvr.connectionCount(), 2);
        QCOMPARE(h.w().lbPCStatus(2)->text(), QString("Listening"));
    }

    void peerCloseEventOutsideClosingStateIsIgnored() {
        Harness h;
        h.setRow(4, "127.0.0.1", freePort(), freePort());
        h.w().tcpClient_Close(4);
        verifyIdle(h.w(), 4);
        QCOMPARE(h.w().cmdConnect(4)->isEnabled(), true);
    }

    void connectAllSkipsOffRowsAndWarnsPerBadRow() {
        Harness h;
        h.load();  // every row switched off
        FakeDvr dvr;
        for (int i = 1; i <= 8; ++i) {
            h.setRow(i, "127.0.0.1", dvr.port(), freePort());
        }
        h.w().txtIP(3)->setText("10.0.0");
        h.w().txtIP(7)->setText("bad");
        h.w().chkEnable(5)->setValue(0);

        QTest::mouseClick(h.w().cmdConnectAll, Qt::LeftButton);
        QCOMPARE(h.boxes.size(), 2);
        QCOMPARE(h.boxes[0].text, QString("POS 3: Invalid IP of DVR.\r\n"));
        QCOMPARE(h.boxes[1].text, QString("POS 7: Invalid IP of DVR.\r\n"));
        for (int i : {1, 2, 4, 6, 8}) {
            QCOMPARE(h.w().lbStatus(i)->text(), QString("Connecting"));
        }
        for (int i : {3, 5, 7, 9, 16}) {
            QCOMPARE(h.w().lbStatus(i)->text(), QString("Not Connected"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(dvr.connectionCount(), 5, 3000);

        // Nothing left to connect: a second press does nothing.
        h.w().cmdConnectAll_Click();
        QCOMPARE(h.boxes.size(), 4);  // the two bad rows are idle and warn again
        QTest::qWait(100);
        QCOMPARE(dvr.connectionCount(), 5);

        h.w().txtPort(9)->setText(QString::number(freePort()));  // refusing: stays pending
        h.w().txtIP(9)->setText("127.0.0.1");
        h.w().txtPortOpen(9)->setText(QString::number(freePort()));
        h.w().chkEnable(9)->setValue(1);
        h.w().cmdConnect_Click(9);
        QTest::mouseClick(h.w().cmdDisconnectAll, Qt::LeftButton);
        for (int i = 1; i <= 16; ++i) {
            QCOMPARE(h.w().lbStatus(i)->text(), QString("Not Connected"));
            QVERIFY(!h.w().cmdDisconnect(i)->isEnabled());
        }
        QTRY_COMPARE_WITH_TIMEOUT(dvr.liveLinks(), 0, 3000);
    }
};

QTEST_MAIN(TestDvrLink)
#include "tst_dvr_link.moc"
