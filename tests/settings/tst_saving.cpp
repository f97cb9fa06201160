#include <QtGlobal>
#ifdef Q_OS_LINUX
#include <sys/stat.h>

#include "file_size_limit.h"
#endif

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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

// Peak ("VmHWM:") or present ("VmRSS:") memory of this process, in KiB, from /proc.
qint64 memoryKiB(const QByteArray& field) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
        }
    }
    return -1;
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
    }

#ifdef Q_OS_LINUX
    void failedSaveReportsAndKeepsTheOldFile() {
        Harness h;
        const QByteArray old = "[Setup]\r\nHide=0\r\n";
        {
            QFile file(h.iniPath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(old);
        }
        fillWindow(h.w());
        {
            const FileSizeLimit diskFull(old.size());
            h.w().Export_Click();
        }
        QCOMPARE(h.boxes.size(), 1);
        QVERIFY(h.boxes[0].text.contains(h.iniPath()));
        QCOMPARE(h.boxes[0].icon, MsgIcon::Exclamation);
        QCOMPARE(h.iniBytes(), old);
    }

#endif

    void settingsFileThatIsNoFileIsLeftAlone_data() {
        QTest::addColumn<QString>("kind");
#ifdef Q_OS_LINUX
        QTest::newRow("pipe") << "fifo";
        QTest::newRow("link to /dev/zero") << "zero";
#endif
        QTest::newRow("folder") << "folder";
        QTest::newRow("2 MiB file") << "large";
    }
    void settingsFileThatIsNoFileIsLeftAlone() {
        QFETCH(QString, kind);
        Harness h;
        [[maybe_unused]] const QByteArray path = QFile::encodeName(h.iniPath());
        const QByteArray large = "[Setup]\r\nHide=1\r\n" + QByteArray(2 << 20, ' ');
        if (kind == "fifo") {
#ifdef Q_OS_LINUX
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
#endif
        } else if (kind == "zero") {
            QVERIFY(QFile::link("/dev/zero", h.iniPath()));
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(h.iniPath()));
        } else {
            QFile file(h.iniPath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(large);
        }
        // Growth, not the total: a sanitizer build starts well above 64 MiB by itself.
        const qint64 before = memoryKiB("VmRSS:");
        QElapsedTimer clock;
        clock.start();
        h.load();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        const qint64 grown = memoryKiB("VmHWM:") - before;
        QVERIFY2(grown < 32 * 1024, qPrintable(QString::number(grown)));
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.size(), 1, 1000);
        QVERIFY(h.boxes[0].text.contains(h.iniPath()));
        QCOMPARE(h.w().chkHide->Value(), 0);  // the initial value, not the file's

        h.w().Export_Click();
        QCOMPARE(h.boxes.size(), 2);
        QVERIFY(h.boxes[1].text.contains(h.iniPath()));
        const QFileInfo after(h.iniPath());
#ifdef Q_OS_LINUX
        struct stat info {};
        QVERIFY(kind != "fifo" ||
                (::lstat(path.constData(), &info) == 0 && S_ISFIFO(info.st_mode)));
#endif
        QVERIFY(kind != "zero" || after.isSymLink());
        QVERIFY(kind != "folder" || after.isDir());
        QVERIFY(kind != "large" || h.iniBytes() == large);
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
