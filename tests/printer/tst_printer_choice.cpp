#include <QTest>

#include "harness.h"

// Start-up's restore of the saved printer and the "Set" button, on recorded printers:
// the real CUPS cannot hold the names these cases need.
class TestPrinterChoice : public QObject {
    Q_OBJECT

    static void install(Harness& h) {
        h.printers.installed = {{"Receipt 80", "USB001"},
                                {"Rendering Subsystem", "RS:"},
                                {"Office", "socket://10.0.0.9:9100"},
                                {"Receipt 80", "USB002"}};
        h.printers.current = h.printers.installed[2];  // the system default
    }

private slots:
    void listLeavesOutRenderingSubsystem() {
        Harness h;
        install(h);
        h.load();
        QStringList entries;
        for (int k = 0; k < h.w().cboPrinters->count(); ++k) {
            entries << h.w().cboPrinters->itemText(k);
        }
        QCOMPARE(entries, QStringList({"Receipt 80", "Office", "Receipt 80", "No Printer"}));
    }

    void restoreIsCaseSensitive_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("port");
        QTest::newRow("exact") << QByteArray("EnablePrinter= 1\r\nPrinter=Receipt 80\r\n")
                               << "Receipt 80"
                               << "USB001";
        QTest::newRow("other case")
            << QByteArray("EnablePrinter= 1\r\nPrinter=receipt 80\r\n") << "Office"
            << "socket://10.0.0.9:9100";
        QTest::newRow("off") << QByteArray("EnablePrinter= 0\r\nPrinter=Receipt 80\r\n")
                             << "No Printer"
                             << "socket://10.0.0.9:9100";
        QTest::newRow("gone") << QByteArray("EnablePrinter=1\r\nPrinter=Old\r\n") << "Office"
                              << "socket://10.0.0.9:9100";
    }
    void restoreIsCaseSensitive() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, shown);
        QFETCH(QString, port);
        Harness h("[Setup]\r\n" + ini, true);
        install(h);
        h.load();
        QCOMPARE(h.w().cboPrinters->currentText(), shown);
        QCOMPARE(h.printers.current->Port, port);  // the first of two same names wins
    }

    void setAppliesOnlyTheChosenEntry() {
        Harness h;
        install(h);
        h.load();
        h.w().cboPrinters->setCurrentIndex(-1);
        h.w().cmdOK_Click();  // nothing chosen: nothing happens
        QVERIFY(h.boxes.isEmpty());
        QCOMPARE(h.w().PrinterOn, 0);

        h.w().cboPrinters->setCurrentIndex(0);
        h.w().cboPrinters_Click();  // choosing alone changes nothing
        QCOMPARE(h.printers.current->DeviceName, QString("Office"));
        h.w().cmdOK_Click();
        QCOMPARE(h.boxes.size(), 1);
        QCOMPARE(h.boxes[0].text, QString("All printing for this application will be sent to "
                                          "the Receipt 80 printer on USB001"));
        QCOMPARE(h.w().PrinterOn, 1);

        h.printers.installed.removeFirst();
        h.printers.installed.removeLast();  // the chosen printer vanished
        h.w().cmdOK_Click();
        QCOMPARE(h.boxes.size(), 1);
        QCOMPARE(h.w().PrinterOn, 1);
        QCOMPARE(h.printers.current->Port, QString("USB001"));
    }

    void noPrinterInstalledKeepsTheLoadedSwitch() {
        Harness h("[Setup]\r\nEnablePrinter= 1\r\nPrinter=Receipt 80\r\n", true);
        h.load();
        QCOMPARE(h.w().cboPrinters->count(), 1);
        QCOMPARE(h.w().cboPrinters->currentText(), QString("No Printer"));
        QCOMPARE(h.w().PrinterOn, 1);
        h.w().Export_Click();
        // Nothing can be named, so the user's choice stays in the file for when it returns.
        QVERIFY(h.iniBytes().contains("EnablePrinter= 1\r\nPrinter=Receipt 80\r\n"));
    }
};

QTEST_MAIN(TestPrinterChoice)
#include "tst_printer_choice.moc"
