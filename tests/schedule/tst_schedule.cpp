#include <QTest>

#include "harness.h"

// The schedule acts in two minutes a day, read from the injected clock.
class TestSchedule : public QObject {
    Q_OBJECT

    // Rows 1 and 2 switched on and pointed at a refusing port: enough to see
    // "ConnectAll" and "DisconnectAll" act without any DVR.
    static void prepare(Harness& h, int start, int end) {
        h.load();
        h.setRow(1, "127.0.0.1", freePort(), freePort());
        h.setRow(2, "127.0.0.1", freePort(), freePort());
        h.w().startHour->setValue(start);
        h.w().endHour->setValue(end);
    }
    static bool connecting(Harness& h) {
        return h.w().lbStatus(1)->text() == "Connecting" &&
               h.w().lbStatus(2)->text() == "Connecting" &&
               h.w().lbStatus(3)->text() == "Not Connected";
    }

private slots:
    void edgeMinutesConnectAndDisconnect_data() {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<QString>("startText");
        QTest::addColumn<QString>("endText");
        QTest::newRow("8 to 17") << 8 << 17 << "8:01"
                                 << "17:59";
        QTest::newRow("9 to 9") << 9 << 9 << "9:01"
                                << "9:59";
        QTest::newRow("23 to 23") << 23 << 23 << "23:01"
                                  << "23:59";
        QTest::newRow("0 to 0") << 0 << 0 << "0:01"
                                << "0:59";
    }
    void edgeMinutesConnectAndDisconnect() {
        QFETCH(int, start);
        QFETCH(int, end);
        Harness h;
        prepare(h, start, end);
        QFETCH(QString, startText);
        QFETCH(QString, endText);
        QCOMPARE(h.w().txtStartHour->text(), startText);
        QCOMPARE(h.w().txtEndHour->text(), endText);

        h.now = QTime(start, 0);
        h.w().chkSchedule->setValue(1);
        QVERIFY(h.w().Timer1->isActive());
        QCOMPARE(h.w().lbStatus(1)->text(), QString("Not Connected"));
        h.now = QTime(start, 1);
        h.w().Timer1_Timer();
        QVERIFY(connecting(h));
        h.now = QTime(end, 58);
        h.w().Timer1_Timer();
        QVERIFY(connecting(h));
        h.now = QTime(end, 59);
        h.w().Timer1_Timer();
        QCOMPARE(h.w().lbStatus(1)->text(), QString("Not Connected"));
        QCOMPARE(h.w().lbStatus(2)->text(), QString("Not Connected"));
    }

    void switchingOnActsOnlyInTheEdgeMinute() {
        Harness h;
        prepare(h, 8, 17);
        h.now = QTime(8, 30);
        h.w().chkSchedule->setValue(1);
        QCOMPARE(h.w().lbStatus(1)->text(), QString("Not Connected"));
        h.w().chkSchedule->setValue(0);
        QVERIFY(!h.w().Timer1->isActive());
        h.now = QTime(8, 1);
        h.w().chkSchedule->setValue(1);
        QVERIFY(connecting(h));
        h.w().chkSchedule->setValue(0);  // switching off leaves connections as they are
        QVERIFY(connecting(h));
        QVERIFY(!h.w().Timer1->isActive());
    }

    void greyedBoxLeavesTheScheduleOff() {
        Harness h("[Setup]\r\nEnableSchedule=2\r\nStartHour=8\r\nEndHour=9\r\n", true);
        h.now = QTime(8, 1);
        h.load();
        QCOMPARE(h.w().chkSchedule->Value(), 2);
        QVERIFY(!h.w().Timer1->isActive());
    }

    void startUpAppliesTheLoadedScheduleNotTheEarlyOne() {
        // At 5:01 the creation positions (start 5) would match; the rows are not loaded.
        QByteArray ini = "[Setup]\r\nEnableSchedule=1\r\nStartHour=8\r\nEndHour=17\r\n";
        Harness early(ini, true);
        early.now = QTime(5, 1);
        early.load();
        QVERIFY(early.w().Timer1->isActive());
        for (int i = 1; i <= 16; ++i) {
            QCOMPARE(early.w().lbStatus(i)->text(), QString("Not Connected"));
        }
        QVERIFY(early.boxes.isEmpty());

        FakeDvr dvr;
        ini += "\r\n[Connection 3]\r\nIP=127.0.0.1\r\nDVR_PORT=" + QByteArray::number(dvr.port()) +
               "\r\nPOS_PORT=" + QByteArray::number(freePort()) + "\r\nENABLE=1\r\n";
        Harness onTime(ini, true);
        onTime.now = QTime(8, 1);
        onTime.load();
        QCOMPARE(onTime.w().lbStatus(3)->text(), QString("Connecting"));
        QCOMPARE(onTime.w().lbStatus(2)->text(), QString("Not Connected"));
    }

    void tickDuringABoxWaitsUntilItIsClosed() {
        Harness h;
        prepare(h, 9, 17);
        h.setRow(3, "bad", 1, freePort());
        h.now = QTime(9, 1);
        h.w().chkSchedule->setValue(1);
        h.w().cmdDisconnectAll_Click();  // the first check connected; start from idle rows
        h.w().Timer1->setInterval(20);
        bool connectedInsideBox = false;
        h.whileBoxOpen = [&] {
            QTest::qWait(150);  // several ticks come due while the user reads
            connectedInsideBox = connecting(h);
        };
        h.w().cmdConnect_Click(3);  // the bad row's warning
        QVERIFY(!connectedInsideBox);
        h.whileBoxOpen = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(connecting(h), 1000);
    }

    void endHourFollowsTheStartHour() {
        Harness h;
        h.load();
        h.w().startHour->setValue(3);
        h.w().endHour->setValue(8);
        h.w().startHour->setValue(10);
        QCOMPARE(h.w().endHour->value(), 10);
        QCOMPARE(h.w().txtEndHour->text(), QString("10:59"));
        h.w().startHour->setValue(6);
        QCOMPARE(h.w().endHour->value(), 10);
        QCOMPARE(h.w().endHour->minimum(), 6);
        h.w().endHour->setValue(6);
        QCOMPARE(h.w().txtEndHour->text(), QString("6:59"));
        h.w().endHour->setValue(5);
        QCOMPARE(h.w().endHour->value(), 6);
    }
};

QTEST_MAIN(TestSchedule)
#include "tst_schedule.moc"
