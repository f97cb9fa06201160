#include <QFile>
#include <QProcess>
#include <QTest>

#include "harness.h"

namespace {

void fillWindow(frmKavelin& w) {
    w.chkHide->setValue(0);
    w.chkSchedule->setValue(0);
    w.startHour->setValue(6);
    w.endHour->setValue(22);
    w.chkAuto->setValue(1);
    for (int n = 1; n <= 16; ++n) {
        w.txtIP(n)->setText(QString("10.0.0.%1").arg(20 + n));
        w.txtPort(n)->setText(QString::number(9100 + n));
        w.txtPortOpen(n)->setText(QString::number(9000 + n));
        w.chkEnable(n)->setValue(n == 1 ? 1 : 0);
    }
}

QByteArray expectedLayout() {
    QByteArray ini =
        "[Setup]\r\nPrinter=Office Printer\r\nEnablePrinter= 0\r\nAutoRun=1\r\n"
        "EndHour=22\r\nStartHour=6\r\nEnableSchedule=0\r\nHide=0\r\n";
    for (int n = 1; n <= 16; ++n) {
        ini += "\r\n[Connection " + QByteArray::number(n) +
               "]\r\nENABLE=" + QByteArray(n == 1 ? "1" : "0") +
               "\r\nPOS_PORT=" + QByteArray::number(9000 + n) +
               "\r\nDVR_PORT=" + QByteArray::number(9100 + n) + "\r\nIP=10.0.0." +
               QByteArray::number(20 + n) + "\r\n";
    }
    return ini;
}

// Root ignores folder permissions, so an immutable folder stands in for a read-only one.
bool lockFolder(const QString& folder) {
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    QFile probe(folder + "/probe");
    if (!probe.open(QIODevice::WriteOnly)) {
        return true;
    }
    probe.remove();
    return QProcess::execute("chattr", {"+i", folder}) == 0 &&
           !QFile(folder + "/probe").open(QIODevice::WriteOnly);
}

void unlockFolder(const QString& folder) {
    QProcess::execute("chattr", {"-i", folder});
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

}  // namespace

class TestSaving : public QObject {
    Q_OBJECT
private slots:
    void saveWritesTheFullLayoutAndIsStable() {
        Harness h;
        h.printers.current = PrinterInfo{"Office Printer", "usb://office"};
        fillWindow(h.w());
        QTest::mouseClick(h.w().Export, Qt::LeftButton);
        QCOMPARE(h.iniBytes(), expectedLayout());
        QVERIFY(h.boxes.isEmpty());

        h.w().Export_Click();
        QCOMPARE(h.iniBytes(), expectedLayout());

        h.w().txtIP(7)->setText("192.168.7.7");
        h.w().Export_Click();
        const QList<QByteArray> before = expectedLayout().split('\n');
        const QList<QByteArray> after = h.iniBytes().split('\n');
        QCOMPARE(after.size(), before.size());
        int changed = 0;
        for (int k = 0; k < after.size(); ++k) {
            if (after[k] != before[k]) {
                ++changed;
                QCOMPARE(after[k], QByteArray("IP=192.168.7.7\r"));
            }
        }
        QCOMPARE(changed, 1);
    }

    void savedSettingsComeBackAtStartUp() {
        Harness first;
        first.printers.current = PrinterInfo{"Office Printer", "usb://office"};
        fillWindow(first.w());
        first.w().chkEnable(9)->setValue(2);
        first.w().chkAuto->setValue(0);
        first.w().txtPortOpen(3)->setText("not a port");  // saved as typed
        first.w().Export_Click();

        Harness second(first.iniBytes(), true);
        second.printers.installed = {PrinterInfo{"Office Printer", "usb://office"}};
        second.printers.current = second.printers.installed[0];
        second.load();
        frmKavelin& w = second.w();
        QCOMPARE(w.startHour->value(), 6);
        QCOMPARE(w.endHour->value(), 22);
        QCOMPARE(w.chkAuto->Value(), 0);
        QCOMPARE(w.chkEnable(9)->Value(), 2);
        QCOMPARE(w.txtPortOpen(3)->text(), QString("not a port"));
        for (int n = 1; n <= 16; ++n) {
            QCOMPARE(w.txtIP(n)->text(), first.w().txtIP(n)->text());
            QCOMPARE(w.cmdConnect(n)->isEnabled(), first.w().chkEnable(n)->Value() != 0);
        }
        w.Export_Click();
        QCOMPARE(second.iniBytes(), first.iniBytes());
    }

    void saveAndHideWritesHideOne() {
        Harness h;
        h.load();
        h.w().show();
        QCOMPARE(h.w().chkHide->Value(), 0);
        QTest::mouseClick(h.w().ExportHide, Qt::LeftButton);
        QVERIFY(!h.w().isVisible());
        QCOMPARE(h.w().chkHide->Value(), 1);
        QVERIFY(h.iniBytes().contains("\r\nHide=1\r\n"));
        QVERIFY(h.iniBytes().contains("\r\nPrinter=\r\n"));  // no printer at all: empty name
    }

    void failedSaveReportsAndKeepsTheOldFile() {
        Harness h;
        const QByteArray old = "[Setup]\r\nHide=0\r\n";
        {
            QFile file(h.iniPath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(old);
        }
        if (!lockFolder(h.dir.path())) {
            unlockFolder(h.dir.path());
            QSKIP("cannot make a folder unwritable here");
        }
        fillWindow(h.w());
        h.w().Export_Click();
        unlockFolder(h.dir.path());
        QCOMPARE(h.boxes.size(), 1);
        QVERIFY(h.boxes[0].text.contains(h.iniPath()));
        QCOMPARE(h.boxes[0].icon, MsgIcon::Exclamation);
        QCOMPARE(h.iniBytes(), old);
    }

    void closingClosesEveryListenerAndSavesNothing() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos = freePort();
        h.setRow(1, "127.0.0.1", dvr.port(), pos);
        h.w().cmdConnect_Click(1);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Listening"), 3000);
        h.w().close();
        QCOMPARE(h.w().tcpServer(1)->State(), int(Winsock::sckClosed));
        QVERIFY(!connectTerminal(pos, 500));
        QTRY_COMPARE_WITH_TIMEOUT(dvr.liveLinks(), 0, 3000);  // an orderly close reached the DVR
        QVERIFY(!QFile::exists(h.iniPath()));
    }
};

QTEST_MAIN(TestSaving)
#include "tst_saving.moc"
