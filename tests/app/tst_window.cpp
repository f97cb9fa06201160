#include <QTest>

#include "harness.h"

namespace {

QByteArray savedFile() {
    QByteArray ini =
        "[Setup]\r\nPrinter=\r\nEnablePrinter= 0\r\nAutoRun=0\r\nEndHour=22\r\n"
        "StartHour=6\r\nEnableSchedule=0\r\nHide=0\r\n";
    for (int n = 1; n <= 16; ++n) {
        ini += "\r\n[Connection " + QByteArray::number(n) +
               "]\r\nENABLE=" + QByteArray(n % 3 == 0 ? "0" : (n == 5 ? "2" : "1")) +
               "\r\nPOS_PORT=" + QByteArray::number(9000 + n) +
               "\r\nDVR_PORT=" + QByteArray::number(9100 + n) + "\r\nIP=10.0.0." +
               QByteArray::number(20 + n) + "\r\n";
    }
    return ini;
}

}  // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void looksAsDrawnBeforeStartUp() {
        Harness h;
        frmKavelin& w = h.w();
        QCOMPARE(w.windowTitle(), QString("POS LAN Kavelin (DVR=Server)"));
        QCOMPARE(w.size(), QSize(916, 593));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        for (int i = 1; i <= 16; ++i) {
            QCOMPARE(w.txtIP(i)->text(), QString("Disabled"));
            QCOMPARE(w.txtPort(i)->text(), QString("Disabled"));
            QCOMPARE(w.txtPortOpen(i)->text(), QString("Disabled"));
            QCOMPARE(w.lbPCStatus(i)->text(), QString("Closed"));
            QCOMPARE(w.lbStatus(i)->text(), QString("Not Connected"));
            QCOMPARE(background(w.lbStatus(i)), look::kRed);
            QCOMPARE(textColour(w.lbPCStatus(i)), look::kWhite);
            QVERIFY(w.cmdConnect(i)->isEnabled());
            QVERIFY(!w.cmdDisconnect(i)->isEnabled());
            QCOMPARE(w.chkEnable(i)->Value(), 0);
            QCOMPARE(w.chkEnable(i)->geometry().topLeft(), QPoint(24, 136 + 16 * (i - 1)));
            QCOMPARE(w.PosConnected(i), 0);
        }
        QVERIFY(!w.Timer1->isActive());
        QCOMPARE(w.Timer1->interval(), 60000);
        QCOMPARE(w.startHour->value(), 5);
        QCOMPARE(w.endHour->value(), 0);
        QCOMPARE(w.txtStartHour->text(), QString("0:01"));
        QCOMPARE(w.txtEndHour->text(), QString("0:59"));
        QCOMPARE(w.ExportClose->text(), QString("Save Settings and  Close"));
        QCOMPARE(w.Label2(4)->text(), QString("Kavelin's Listening  Port"));
        QCOMPARE(w.Label2(0)->text(), QString("DVR's Port"));
        QCOMPARE(background(w.Label2(6)), look::kHeading);
        QCOMPARE(w.Label1->text(), QString("DVR=Server"));
        QCOMPARE(textColour(w.Label1), look::kRed);
        QCOMPARE(w.cmdConnectAll->font().family(), QString("Arial Black"));
        QVERIFY(w.cmdConnectAll->font().italic());
        QCOMPARE(w.cboPrinters->count(), 0);
    }

    void indexOutsideTheArraysIsRefused() {
        Harness h;
        frmKavelin& w = h.w();
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, w.chkEnable(0));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, w.txtIP(17));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, w.tcpServer(17));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, w.PosConnected(0));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, w.Label2(7));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, w.Label2(-1));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, w.cmdConnect_Click(17));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, w.chkEnable_Click(0));
        QVERIFY(w.Label2(0) && w.Label2(6) && w.chkEnable(1) && w.chkEnable(16));
    }

    void startUpRestoresASavedFile() {
        Harness h(savedFile(), true);
        h.load();
        frmKavelin& w = h.w();
        QVERIFY(w.isVisible());
        QCOMPARE(w.startHour->value(), 6);
        QCOMPARE(w.endHour->value(), 22);
        QCOMPARE(w.txtStartHour->text(), QString("6:01"));
        QCOMPARE(w.txtEndHour->text(), QString("22:59"));
        QCOMPARE(w.endHour->minimum(), 6);
        QCOMPARE(w.chkSchedule->Value(), 0);
        QCOMPARE(w.chkAuto->Value(), 0);
        for (int n = 1; n <= 16; ++n) {
            QCOMPARE(w.txtIP(n)->text(), QString("10.0.0.%1").arg(20 + n));
            QCOMPARE(w.txtPort(n)->text(), QString::number(9100 + n));
            QCOMPARE(w.txtPortOpen(n)->text(), QString::number(9000 + n));
            const bool on = n % 3 != 0;
            QCOMPARE(w.chkEnable(n)->Value(), on ? (n == 5 ? 2 : 1) : 0);
            QCOMPARE(w.txtIP(n)->isEnabled(), on);
            QCOMPARE(w.txtPort(n)->isEnabled(), on);
            QCOMPARE(w.txtPortOpen(n)->isEnabled(), on);
            QCOMPARE(w.cmdConnect(n)->isEnabled(), on);
            QVERIFY(!w.cmdDisconnect(n)->isEnabled());
            QCOMPARE(w.lbStatus(n)->text(), QString("Not Connected"));
        }
        QCOMPARE(w.cboPrinters->currentText(), frmKavelin::kNoPrinter);
        QVERIFY(h.boxes.isEmpty());

        // Saving what was loaded gives the same file back, byte for byte.
        w.Export_Click();
        QCOMPARE(h.iniBytes(), savedFile());
    }

    void hiddenStartStillConnects() {
        FakeDvr dvr;
        QByteArray ini =
            "[Setup]\r\nHide=1\r\nAutoRun=1\r\n\r\n[Connection 2]\r\nIP=127.0.0.1\r\n"
            "DVR_PORT=" +
            QByteArray::number(dvr.port()) + "\r\nPOS_PORT=" + QByteArray::number(freePort()) +
            "\r\nENABLE=1\r\n";
        Harness h(ini, true);
        h.load();
        QVERIFY(!h.w().isVisible());
        QCOMPARE(h.w().lbStatus(2)->text(), QString("Connecting"));
        QCOMPARE(h.w().lbStatus(1)->text(), QString("Not Connected"));  // switched off
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(2)->text(), QString("Connected"), 3000);
        QVERIFY(h.boxes.isEmpty());
    }

    void startUpBoxesWaitUntilStartUpHasReturned() {
        // AutoRun with a bad row: its warning used to open inside start-up, and a terminal's
        // text could be forwarded while it was open, before printing was set up.
        FakeDvr dvr;
        const quint16 pos = freePort();
        QByteArray ini =
            "[Setup]\r\nAutoRun=1\r\nEnablePrinter= 1\r\nPrinter=Receipt\r\n"
            "[Connection 1]\r\nIP=127.0.0.1\r\nDVR_PORT=" +
            QByteArray::number(dvr.port()) + "\r\nPOS_PORT=" + QByteArray::number(pos) +
            "\r\nENABLE=1\r\n[Connection 2]\r\nIP=bad\r\nDVR_PORT=1\r\nENABLE=1\r\n";
        Harness h(ini, true);
        h.printers.installed = {{"Receipt", "usb://receipt"}};
        int listedWhenShown = -1;
        h.whileBoxOpen = [&] { listedWhenShown = h.w().cboPrinters->count(); };
        h.load();
        QVERIFY(h.boxes.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.size(), 1, 1000);
        QCOMPARE(h.boxes[0].text, QString("POS 2: Invalid IP of DVR.\r\n"));
        QCOMPARE(h.boxes[0].icon, MsgIcon::Exclamation);
        QCOMPARE(listedWhenShown, 2);  // start-up had finished: the printer list was filled
    }

    void unusableNumbersKeepInitialValues_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("startHour");
        QTest::addColumn<int>("hide");
        QTest::newRow("missing") << QByteArray() << 5 << 0;
        QTest::newRow("empty") << QByteArray("=") << 5 << 0;
        QTest::newRow("text") << QByteArray("=abc") << 5 << 0;
        QTest::newRow("too big") << QByteArray("=70000") << 5 << 0;
        QTest::newRow("negative") << QByteArray("=-1") << 5 << 0;
        QTest::newRow("out of control range") << QByteArray("=24") << 5 << 0;
        QTest::newRow("blanks around") << QByteArray("= 2 ") << 2 << 2;
    }
    void unusableNumbersKeepInitialValues() {
        QFETCH(QByteArray, value);
        QFETCH(int, startHour);
        QFETCH(int, hide);
        QByteArray ini = "[Setup]\r\n";
        if (!value.isEmpty()) {
            ini += "StartHour" + value + "\r\nHide" + value + "\r\n";
        }
        Harness h(ini, true);
        h.load();
        QCOMPARE(h.w().startHour->value(), startHour);
        QCOMPARE(h.w().chkHide->Value(), hide);
        QVERIFY(h.w().isVisible());  // only 1 hides
        QVERIFY(h.boxes.isEmpty());
    }

    void missingFileIsCreatedEmpty() {
        Harness h;
        QVERIFY(!QFile::exists(h.iniPath()));
        h.load();
        QVERIFY(QFile::exists(h.iniPath()));
        QCOMPARE(h.iniBytes(), QByteArray());
        QCOMPARE(h.w().txtIP(1)->text(), QString());  // a missing text key empties its box
        QVERIFY(!h.w().cmdConnect(1)->isEnabled());
        QVERIFY(h.boxes.isEmpty());
    }

    void unreadableFileWarnsOnceAndRunsWithInitialValues() {
        Harness h;
        QVERIFY(QDir().mkpath(h.iniPath()));  // a folder where the file should be
        h.load();
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.size(), 1, 1000);
        QVERIFY(h.boxes[0].text.contains(h.iniPath()));
        QCOMPARE(h.boxes[0].icon, MsgIcon::Exclamation);
        QCOMPARE(h.w().txtIP(1)->text(), QString("Disabled"));
        QCOMPARE(h.w().startHour->value(), 5);
        QCOMPARE(h.w().txtStartHour->text(), QString("5:01"));
        QCOMPARE(h.w().cboPrinters->itemText(h.w().cboPrinters->count() - 1),
                 frmKavelin::kNoPrinter);
    }

    void enableSwitchGovernsFourControlsOnly() {
        Harness h;
        h.load();
        frmKavelin& w = h.w();
        w.txtIP(4)->setText("10.1.1.1");
        w.chkEnable(4)->setValue(1);
        QVERIFY(w.txtIP(4)->isEnabled() && w.txtPort(4)->isEnabled());
        QVERIFY(w.txtPortOpen(4)->isEnabled() && w.cmdConnect(4)->isEnabled());
        QVERIFY(!w.cmdDisconnect(4)->isEnabled());
        QTest::mouseClick(w.chkEnable(4), Qt::LeftButton);
        QCOMPARE(w.chkEnable(4)->Value(), 0);
        QVERIFY(!w.txtIP(4)->isEnabled() && !w.txtPort(4)->isEnabled());
        QVERIFY(!w.txtPortOpen(4)->isEnabled() && !w.cmdConnect(4)->isEnabled());
        QCOMPARE(w.txtIP(4)->text(), QString("10.1.1.1"));
        QCOMPARE(w.lbStatus(4)->text(), QString("Not Connected"));
        w.chkEnable(4)->setValue(2);  // greyed counts as on
        QVERIFY(w.cmdConnect(4)->isEnabled());
        // A user's click on a greyed box switches it on, never back to grey.
        QTest::mouseClick(w.chkEnable(4), Qt::LeftButton);
        QCOMPARE(w.chkEnable(4)->Value(), 1);
        QTest::mouseClick(w.chkEnable(4), Qt::LeftButton);
        QCOMPARE(w.chkEnable(4)->Value(), 0);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
