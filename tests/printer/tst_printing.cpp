// The printer frame and the print step of forwarding, against the local CUPS scheduler
// prepared by scripts/cups-test-queue.sh (queues PosTestPdf and PosTestPdf2).
#include <QSet>
#include <QTest>

#include "harness.h"
#include "platform/linux/cups_printer.h"

namespace {

const QString kQueue = QStringLiteral("PosTestPdf");

QSet<QString> jobs() {
    QSet<QString> ids;
    const QString listing = runProgram("lpstat", {"-W", "all", "-o", kQueue});
    for (const QString& line : listing.split('\n', Qt::SkipEmptyParts)) {
        ids.insert(line.section(' ', 0, 0));
    }
    return ids;
}

// The text CUPS holds for a job (cupsd keeps job files for the test queues).
QString jobText(const QString& id) {
    const int number = id.section('-', -1).toInt();
    const QString file = QStringLiteral("/var/spool/cups/d%1-001").arg(number, 5, 10, QChar('0'));
    return runProgram("pdftotext", {file, "-"}).simplified();
}

// A window on the real CUPS services with row 1 carrying a terminal to a DVR.
struct PrintingRow {
    Harness h;
    CupsPrinterServices cups;
    FakeDvr dvr;
    std::unique_ptr<frmKavelin> window;
    std::unique_ptr<QTcpSocket> terminal;

    PrintingRow() {
        window = std::make_unique<frmKavelin>(
            h.iniPath(),
            [this](const QString& text, const QString& title, MsgIcon icon) {
                h.boxes.append({text, title, icon});
            },
            [] { return QTime(12, 0); }, &cups);
        window->Form_Load();
    }
    bool bringUp() {
        const quint16 pos = freePort();
        window->txtIP(1)->setText("127.0.0.1");
        window->txtPort(1)->setText(QString::number(dvr.port()));
        window->txtPortOpen(1)->setText(QString::number(pos));
        window->chkEnable(1)->setValue(1);
        window->cmdConnect_Click(1);
        if (!QTest::qWaitFor([&] { return window->lbPCStatus(1)->text() == "Listening"; }, 3000)) {
            return false;
        }
        terminal = connectTerminal(pos);
        return terminal && QTest::qWaitFor([&] { return window->PosConnected(1) != 0; }, 3000);
    }
    void choose(const QString& entry) {
        window->cboPrinters->setCurrentIndex(window->cboPrinters->findText(entry));
        QTest::mouseClick(window->cmdOK, Qt::LeftButton);
    }
    bool send(const QByteArray& piece) {
        const QByteArray before = dvr.received();
        terminal->write(piece);
        return QTest::qWaitFor([&] { return dvr.received() == before + piece + "\r\n"; }, 3000);
    }
};

}  // namespace

class TestPrinting : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (!runProgram("lpstat", {"-r"}).contains("scheduler is running")) {
            QSKIP("CUPS is not running; scripts/cups-test-queue.sh prepares it");
        }
    }
    void cleanup() {
        runProgram("cupsenable", {kQueue});
        runProgram("cupsaccept", {kQueue});
    }

    void listShowsTheQueuesThenNoPrinter() {
        PrintingRow row;
        QComboBox* list = row.window->cboPrinters;
        QStringList entries;
        for (int k = 0; k < list->count(); ++k) {
            entries << list->itemText(k);
        }
        QStringList expected;
        for (const PrinterInfo& printer : row.cups.Printers()) {
            expected << printer.DeviceName;
        }
        expected << "No Printer";
        QCOMPARE(entries, expected);
        QVERIFY(entries.contains(kQueue));
        QCOMPARE(list->currentText(), QString("No Printer"));  // EnablePrinter missing: off
    }

    void eachForwardedPieceIsOneJobUntilSwitchedOff() {
        PrintingRow row;
        QVERIFY(row.bringUp());
        row.choose(kQueue);
        QCOMPARE(row.h.boxes.size(), 1);
        QCOMPARE(row.h.boxes[0].text,
                 QString("All printing for this application will be sent to the PosTestPdf "
                         "printer on cups-pdf:/"));
        QCOMPARE(row.h.boxes[0].title, QString("Print"));
        QCOMPARE(row.h.boxes[0].icon, MsgIcon::None);
        QCOMPARE(row.window->PrinterOn, 1);

        const QSet<QString> before = jobs();
        const QList<QByteArray> pieces = {"RECEIPT ONE 1.50", "RECEIPT TWO 2.75", "TOTAL 4.25"};
        for (const QByteArray& piece : pieces) {
            QVERIFY(row.send(piece));
        }
        QSet<QString> added;
        QTRY_VERIFY_WITH_TIMEOUT((added = jobs() - before).size() >= 3, 15000);
        QCOMPARE(added.size(), 3);
        QStringList texts;
        for (const QString& id : added) {
            texts << jobText(id);
        }
        texts.sort();
        QCOMPARE(texts, QStringList({"RECEIPT ONE 1.50", "RECEIPT TWO 2.75", "TOTAL 4.25"}));

        row.choose("No Printer");
        QCOMPARE(row.h.boxes.last().text, QString("No Printer set => don't send to printer"));
        QCOMPARE(row.h.boxes.last().title, QString("Print"));
        QCOMPARE(row.window->PrinterOn, 0);
        const QSet<QString> afterOff = jobs();
        QVERIFY(row.send("NOT PRINTED"));
        QTest::qWait(500);
        // No new job; CUPS may meanwhile drop old ones from its history.
        QVERIFY((jobs() - afterOff).isEmpty());

        // The choice is saved and comes back.
        row.window->Export_Click();
        QVERIFY(row.h.iniBytes().contains("EnablePrinter= 0\r\nAutoRun"));
        QVERIFY(row.h.iniBytes().contains("Printer=PosTestPdf\r\n"));
    }

    void piecesPrintInArrivalOrderOneJobEach() {
        CupsPrinterServices cups;
        cups.SetPrinter({kQueue, "cups-pdf:/"});
        Harness h(QByteArray(), false, &cups);
        h.w().PrinterOn = 1;
        FakeDvr dvr;
        auto a = h.openRow(1, dvr.port());
        auto b = h.openRow(2, dvr.port());
        QVERIFY(a && b);
        const QSet<QString> before = jobs();
        QStringList sent;
        for (int k = 1; k <= 3; ++k) {
            for (QTcpSocket* terminal : {a.get(), b.get()}) {
                const QByteArray piece = (terminal == a.get() ? "A" : "B") + QByteArray::number(k);
                terminal->write(piece);
                // One arrival each; the prints queue up behind one another.
                QTRY_VERIFY_WITH_TIMEOUT(dvr.received().endsWith(piece + "\r\n"), 3000);
                sent << piece;
            }
        }
        QList<QString> added;
        QTRY_VERIFY_WITH_TIMEOUT((added = (jobs() - before).values()).size() >= 6, 15000);
        QCOMPARE(added.size(), 6);
        std::sort(added.begin(), added.end(), [](const QString& x, const QString& y) {
            return x.section('-', -1).toInt() < y.section('-', -1).toInt();
        });
        QStringList printed;
        for (const QString& id : added) {
            printed << jobText(id);
        }
        QCOMPARE(printed, sent);
    }

    void savedPrinterIsRestoredByExactName() {
        PrintingRow first;
        first.choose(kQueue);
        first.window->Export_Click();
        Harness second(first.h.iniBytes(), true);
        CupsPrinterServices cups;
        frmKavelin window(second.iniPath(), nullptr, nullptr, &cups);
        window.Form_Load();
        QCOMPARE(window.PrinterOn, 1);
        QCOMPARE(window.cboPrinters->currentText(), kQueue);
        QCOMPARE(cups.Printer()->DeviceName, kQueue);
    }

    void stoppedOrRejectingQueueTakesTheErrorPath_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("stopped") << "cupsdisable";
        QTest::newRow("rejecting") << "cupsreject";
    }
    void stoppedOrRejectingQueueTakesTheErrorPath() {
        QFETCH(QString, command);
        PrintingRow row;
        QVERIFY(row.bringUp());
        row.choose(kQueue);
        runProgram(command, {kQueue});
        row.terminal->write("JAMMED");
        QTRY_COMPARE_WITH_TIMEOUT(row.window->lbStatus(1)->text(), QString("Connecting"), 5000);
        QCOMPARE(row.window->lbPCStatus(1)->text(), QString("Closed"));
        QTRY_COMPARE_WITH_TIMEOUT(row.window->lbStatus(1)->text(), QString("Connected"), 5000);
        QVERIFY(row.dvr.received().contains("JAMMED\r\n"));  // sent before the print failed
    }
};

QTEST_MAIN(TestPrinting)
#include "tst_printing.moc"
