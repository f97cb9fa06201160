// Runs against the local CUPS scheduler prepared by scripts/cups-test-queue.sh:
// PosTestPdf (the queue's own paper) and PosTestPdf2 (Letter paper), both cups-pdf.
#include <cups/cups.h>

#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

#include "harness.h"
#include "platform/linux/cups_printer.h"
#include "platform/receipt_text.h"

using namespace Qt::StringLiterals;

namespace {

const QString kQueue = u"PosTestPdf"_s;
const QString kQueue2 = u"PosTestPdf2"_s;
const QString kPdfOut = u"/var/spool/cups-pdf/poskavelin"_s;
// cupsd keeps each job's document here (PreserveJobFiles) as d<job id>-001.
const QString kCupsSpool = u"/var/spool/cups"_s;
constexpr int kJobWaitMs = 30000;

// Job numbers of the queue's jobs; `which` is "completed" or "all".
QSet<int> Jobs(const QString& queue, const QString& which = u"all"_s) {
    QSet<int> jobs;
    const QString listing = runProgram(u"lpstat"_s, {u"-W"_s, which, u"-o"_s, queue});
    for (const QString& line : listing.split(u'\n', Qt::SkipEmptyParts)) {
        const QString id = line.section(u' ', 0, 0);
        if (id.startsWith(queue + u'-'))
            jobs.insert(id.mid(queue.size() + 1).toInt());
    }
    return jobs;
}

// The single job created since `before`, or -1.
int OnlyNewJob(const QString& queue, const QSet<int>& before) {
    const QSet<int> added = Jobs(queue) - before;
    return added.size() == 1 ? *added.begin() : -1;
}

QString SpoolFile(int job) {
    return u"%1/d%2-001"_s.arg(kCupsSpool).arg(job, 5, 10, QChar(u'0'));
}

// The document's lines as CUPS received it, blank lines kept. (cups-pdf's own output
// loses the text encoding, so it is only counted.)
QStringList JobLines(int job) {
    QStringList lines = runProgram(u"pdftotext"_s, {u"-layout"_s, SpoolFile(job), u"-"_s})
                            .remove(u'\f')
                            .split(u'\n');
    for (QString& line : lines) line = line.trimmed();
    while (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

}  // namespace

class TestCupsPrinter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!runProgram(u"lpstat"_s, {u"-r"_s}).contains("scheduler is running"_L1))
            QSKIP("CUPS scheduler is not running; run scripts/cups-test-queue.sh first");
        if (!runProgram(u"lpstat"_s, {u"-v"_s}).contains(kQueue2))
            QSKIP("Test queues are missing; run scripts/cups-test-queue.sh first");
        can_read_jobs_ = !QStandardPaths::findExecutable(u"pdftotext"_s).isEmpty() &&
                         !QStandardPaths::findExecutable(u"pdfinfo"_s).isEmpty() &&
                         QFileInfo(kCupsSpool).isReadable();
    }

    void cleanup() {
        for (const QString& queue : {kQueue, kQueue2}) {
            runProgram(u"cupsenable"_s, {queue});
            runProgram(u"cupsaccept"_s, {queue});
        }
        qunsetenv("LPDEST");
        cupsSetServer(nullptr);
    }

    void listsEveryQueueOnceInStableOrder() {
        CupsPrinterServices services;
        const QList<PrinterInfo> first = services.Printers();
        QStringList names;
        for (const PrinterInfo& printer : first) names.append(printer.DeviceName);
        QCOMPARE(names.count(kQueue), 1);
        QCOMPARE(names.count(kQueue2), 1);
        QVERIFY(names.indexOf(kQueue) < names.indexOf(kQueue2));
        QCOMPARE(first.at(names.indexOf(kQueue)).Port, u"cups-pdf:/"_s);

        const QList<PrinterInfo> second = services.Printers();
        QCOMPARE(second.size(), first.size());
        for (qsizetype i = 0; i < first.size(); ++i)
            QCOMPARE(second.at(i).DeviceName, first.at(i).DeviceName);
    }

    void currentPrinterIsDefaultUntilReplaced() {
        qputenv("LPDEST", kQueue2.toUtf8());
        CupsPrinterServices services;
        const std::optional<PrinterInfo> current = services.Printer();
        QVERIFY(current);
        QCOMPARE(current->DeviceName, kQueue2);
        QCOMPARE(current->Port, u"cups-pdf:/"_s);

        services.SetPrinter({kQueue, u"cups-pdf:/"_s});
        QCOMPARE(services.Printer()->DeviceName, kQueue);
    }

    void withoutUsablePrinterEndDocThrows() {
        CupsPrinterServices gone;
        gone.SetPrinter({u"PosTestNoSuchQueue"_s, QString()});
        gone.PrintLine("text");
        QVERIFY_THROWS_EXCEPTION(PrintError, gone.EndDoc());

        // A default naming a deleted queue is no printer at all.
        qputenv("LPDEST", "PosTestNoSuchQueue");
        CupsPrinterServices stale;
        QVERIFY(!stale.Printer());
        stale.PrintLine("text");
        QVERIFY_THROWS_EXCEPTION(PrintError, stale.EndDoc());

        qunsetenv("LPDEST");
        if (runProgram(u"lpstat"_s, {u"-d"_s}).contains("system default destination:"_L1))
            QSKIP("This CUPS has a default printer; only the stale default was checked");
        CupsPrinterServices none;
        QVERIFY(!none.Printer());
        none.PrintLine("text");
        QVERIFY_THROWS_EXCEPTION(PrintError, none.EndDoc());
    }

    void printsEachDocumentAsOneJob() {
        CupsPrinterServices services;
        services.SetPrinter({kQueue, u"cups-pdf:/"_s});
        const QSet<int> before = Jobs(kQueue);
        const qsizetype files_before = QDir(kPdfOut).entryList(QDir::Files).size();

        QElapsedTimer timer;
        timer.start();
        for (int receipt = 1; receipt <= 3; ++receipt) {
            services.PrintLine("Receipt " + QByteArray::number(receipt));
            services.PrintLine("Total 1.00\r\nThank you\r\n");
            services.EndDoc();
        }
        QVERIFY2(timer.elapsed() < 3000, "EndDoc must not wait for the job to print");

        const QSet<int> added = Jobs(kQueue) - before;
        QCOMPARE(added.size(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(Jobs(kQueue, u"completed"_s).contains(added), kJobWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(QDir(kPdfOut).entryList(QDir::Files).size() - files_before, 3,
                                  kJobWaitMs);

        if (!can_read_jobs_)
            QSKIP("poppler-utils or the CUPS spool is unavailable; job contents not checked");
        QList<int> jobs = added.values();
        std::sort(jobs.begin(), jobs.end());
        for (int i = 0; i < jobs.size(); ++i)
            QCOMPARE(JobLines(jobs.at(i)),
                     (QStringList{u"Receipt %1"_s.arg(i + 1), u"Total 1.00"_s, u"Thank you"_s}));
    }

    void refusesQueueThatCannotPrint_data() {
        QTest::addColumn<QString>("stop");
        QTest::addColumn<QString>("restart");
        QTest::newRow("stopped") << u"cupsdisable"_s << u"cupsenable"_s;
        QTest::newRow("rejecting") << u"cupsreject"_s << u"cupsaccept"_s;
    }

    void refusesQueueThatCannotPrint() {
        QFETCH(QString, stop);
        QFETCH(QString, restart);
        CupsPrinterServices services;
        services.SetPrinter({kQueue, u"cups-pdf:/"_s});
        const QSet<int> before = Jobs(kQueue);

        runProgram(stop, {kQueue});
        services.PrintLine("lost line");
        try {
            services.EndDoc();
            QFAIL("EndDoc printed to a queue that cannot print");
        } catch (const PrintError& error) {
            QVERIFY2(QString::fromUtf8(error.what()).contains(kQueue), error.what());
        }
        QCOMPARE(Jobs(kQueue) - before, QSet<int>());

        // The failed document must not leak into the next one.
        runProgram(restart, {kQueue});
        services.PrintLine("next line");
        services.EndDoc();
        const int job = OnlyNewJob(kQueue, before);
        QVERIFY(job > 0);
        if (can_read_jobs_)
            QCOMPARE(JobLines(job), QStringList{u"next line"_s});
    }

    void laysOutLinesOnTheQueuesPaper() {
        CupsPrinterServices services;
        services.SetPrinter({kQueue2, u"cups-pdf:/"_s});
        const QSet<int> before = Jobs(kQueue2);
        services.PrintLine("A1\r\nA2\rA3\nA4\x1b@\r\n");
        services.PrintLine("");
        services.PrintLine(QByteArray("B1\0B2", 5));
        QByteArray every_byte;
        for (int b = 0; b < 256; ++b) every_byte.append(char(b));
        services.PrintLine(every_byte);
        services.PrintLine("\xff\xfe invalid \xc3 UTF-8 ok \xc3\xa9");
        services.EndDoc();

        const int job = OnlyNewJob(kQueue2, before);
        QVERIFY(job > 0);
        if (!can_read_jobs_)
            QSKIP("poppler-utils or the CUPS spool is unavailable; job contents not checked");
        const QStringList lines = JobLines(job);
        // The trailing CR LF is the line end PrintLine adds anyway: no blank line after A4.
        QCOMPARE(lines.mid(0, 6), (QStringList{"A1", "A2", "A3", "A4@", "", "B1B2"}));
        // Not valid UTF-8 as a whole, so read as Windows-1252.
        QCOMPARE(lines.last(), u"\u00ff\u00fe invalid \u00c3 UTF-8 ok \u00c3\u00a9"_s);
        // Qt's own default would be A4 here.
        QVERIFY(runProgram(u"pdfinfo"_s, {SpoolFile(job)}).contains("612 x 792 pts"_L1));
    }

    void decodesUtf8ElseWindows1252_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("UTF-8") << QByteArray("Caf\xc3\xa9 \xe2\x82\xac") << u"Caf\u00e9 \u20ac"_s;
        QTest::newRow("Latin-1 letter") << QByteArray("Caf\xe9") << u"Caf\u00e9"_s;
        QTest::newRow("1252 signs")
            << QByteArray("\x80\x96\x99\x9f") << u"\u20ac\u2013\u2122\u0178"_s;
        QTest::newRow("1252 hole") << QByteArray("a\x81z") << u"a\u0081z"_s;
        QTest::newRow("UTF-8 cut short") << QByteArray("ok \xc3") << u"ok \u00c3"_s;
    }
    void decodesUtf8ElseWindows1252() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(receiptText(bytes), text);
    }

    void unreachableSchedulerFailsFast_data() {
        QTest::addColumn<bool>("listening");
        QTest::newRow("nothing listening") << false;
        QTest::newRow("hung scheduler") << true;
    }

    void unreachableSchedulerFailsFast() {
        QFETCH(bool, listening);
        // Accepts connections (the kernel does) but never answers, like a hung cupsd.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const quint16 port = silent.serverPort();
        if (!listening)
            silent.close();
        cupsSetServer(("127.0.0.1:" + QByteArray::number(port)).constData());

        // The window asks these on its event loop; they give up after 150 ms, and the
        // rest of the bound is for a loaded machine. EndDoc has 2 s of its own.
        constexpr int kQueryLimitMs = 400;
        constexpr int kEndDocLimitMs = 2500;
        CupsPrinterServices services;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(services.Printers().isEmpty());
        const qint64 listMs = timer.restart();
        QVERIFY(!services.Printer());
        const qint64 defaultMs = timer.restart();
        qInfo("Printers() took %lld ms, Printer() %lld ms", listMs, defaultMs);
        QVERIFY(listMs < kQueryLimitMs && defaultMs < kQueryLimitMs);

        services.SetPrinter({kQueue, u"cups-pdf:/"_s});
        services.PrintLine("text");
        QVERIFY_THROWS_EXCEPTION(PrintError, services.EndDoc());
        QVERIFY(timer.elapsed() < kEndDocLimitMs);
    }

private:
    bool can_read_jobs_ = false;
};

QTEST_MAIN(TestCupsPrinter)
#include "tst_cups_printer.moc"
