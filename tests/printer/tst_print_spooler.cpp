// Printing beside the event loop: a hung print server holds up no channel, a failed
// print takes its channel's error path once, and what waits to print is bounded.
#include <QElapsedTimer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <atomic>

#include "fake_ipp_server.h"
#include "harness.h"
#include "platform/linux/cups_printer.h"
#include "printer/print_spooler.h"

namespace {

// A job that records its name when it runs.
struct Ran {
    QMutex mutex;
    QStringList names;
    PrintJob job(const QString& name) {
        return [this, name](const PrintLimits&) {
            const QMutexLocker lock(&mutex);
            names.append(name);
        };
    }
    QStringList list() {
        const QMutexLocker lock(&mutex);
        return names;
    }
};

}  // namespace

class TestPrintSpooler : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { qunsetenv("CUPS_SERVER"); }

    void hungPrintServerHoldsUpNoOtherChannel_data() {
        QTest::addColumn<bool>("answersOnce");
        QTest::newRow("silent") << false;
        QTest::newRow("answers once") << true;
    }
    void hungPrintServerHoldsUpNoOtherChannel() {
        QFETCH(bool, answersOnce);
        FakeIppServer server(answersOnce ? FakeIppServer::Mode::AnswerOnce
                                         : FakeIppServer::Mode::Silent);
        // libcups reads it when the print worker's thread first calls it.
        qputenv("CUPS_SERVER", "127.0.0.1:" + QByteArray::number(server.port()));
        CupsPrinterServices cups;
        cups.SetPrinter({"PosTestPdf", "cups-pdf:/"});
        Harness h(QByteArray(), false, &cups);
        h.w().PrinterOn = 1;
        FakeDvr stalledDvr;
        FakeDvr otherDvr;
        auto stalled = h.openRow(1, stalledDvr.port());
        auto other = h.openRow(2, otherDvr.port());
        QVERIFY(stalled && other);

        QElapsedTimer sinceStall;
        sinceStall.start();
        stalled->write("STUCK");
        QTRY_COMPARE_WITH_TIMEOUT(stalledDvr.received(), QByteArray("STUCK\r\n"), 1000);

        qint64 worstUs = 0;
        for (int k = 0; k < 5; ++k) {
            QTest::qWait(200);
            const QByteArray line = "FLOW " + QByteArray::number(k) + "\r\n";
            QElapsedTimer sent;
            qint64 arrivedUs = -1;
            const auto seen = connect(otherDvr.links_.first(), &QTcpSocket::readyRead, this, [&] {
                if (otherDvr.received().endsWith(line)) {
                    arrivedUs = sent.nsecsElapsed() / 1000;
                }
            });
            sent.start();
            other->write(line.chopped(2));
            QTRY_VERIFY_WITH_TIMEOUT(arrivedUs >= 0, 1000);
            disconnect(seen);
            worstUs = std::max(worstUs, arrivedUs);
        }
        qInfo("another channel's pieces reached its DVR within %lld us", worstUs);
        QVERIFY2(worstUs < 50000, qPrintable(QString::number(worstUs)));

        // The hung piece fails its channel after about five seconds; the other channel's
        // pieces, never handed over either, fail theirs; neither runs the error path twice.
        QTRY_COMPARE_WITH_TIMEOUT(stalledDvr.connectionCount(), 2, 8000);
        qInfo("the hung piece took its channel's error path after %lld ms", sinceStall.elapsed());
        QVERIFY(sinceStall.elapsed() < 6500);
        QCOMPARE(stalled->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE_WITH_TIMEOUT(otherDvr.connectionCount(), 2, 8000);
        QTest::qWait(500);
        QCOMPARE(stalledDvr.connectionCount(), 2);
        QCOMPARE(otherDvr.connectionCount(), 2);
    }

    void failureDropsTheChannelsWaitingPieces() {
        PrintSpooler spooler;
        QSignalSpy failed(&spooler, &PrintSpooler::printFailed);
        QSemaphore gate;
        Ran ran;
        spooler.enqueue(
            3,
            [&gate](const PrintLimits&) {
                gate.acquire();
                throw PrintError("paper out");
            },
            1);
        spooler.enqueue(3, ran.job("3b"), 1);
        spooler.enqueue(4, ran.job("4a"), 1);
        gate.release();
        QTRY_COMPARE(ran.list(), QStringList{"4a"});
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toInt(), 3);
        QTest::qWait(100);
        QCOMPARE(ran.list(), QStringList{"4a"});
    }

    void fullQueueRefusesAtOnce() {
        PrintSpooler spooler;
        QSignalSpy failed(&spooler, &PrintSpooler::printFailed);
        QSemaphore started;
        QSemaphore gate;
        Ran ran;
        spooler.enqueue(
            1,
            [&](const PrintLimits&) {
                started.release();
                gate.acquire();
            },
            1);
        QVERIFY(started.tryAcquire(1, 1000));  // the worker holds it; the rest wait

        QVERIFY(spooler.enqueue(4, ran.job("big"), PrintSpooler::kMaxWaitingBytes));
        QVERIFY(!spooler.enqueue(5, ran.job("byte over"), 1));
        QVERIFY(!spooler.enqueue(4, ran.job("4 over"), PrintSpooler::kMaxWaitingBytes));
        for (int k = 0; k < PrintSpooler::kMaxWaitingPieces; ++k) {
            QVERIFY(spooler.enqueue(2, ran.job("2"), 1));  // channel 4's big piece went
        }
        QVERIFY(!spooler.enqueue(3, ran.job("piece over"), 1));

        gate.release();
        QTRY_COMPARE(ran.list().size(), int(PrintSpooler::kMaxWaitingPieces));
        QCOMPARE(ran.list().count("2"), int(PrintSpooler::kMaxWaitingPieces));
        QVERIFY(failed.isEmpty());  // a refusal is reported by the caller, not later again
    }

    void stoppingAbandonsTheJobAndWaitsForIt() {
        auto spooler = std::make_unique<PrintSpooler>();
        QSemaphore started;
        std::atomic<bool> returned = false;
        spooler->enqueue(
            1,
            [&](const PrintLimits& limits) {
                started.release();
                const QDeadlineTimer bound(3000);
                while (!limits.abandoned() && !bound.hasExpired()) QThread::msleep(5);
                returned = true;
            },
            1);
        QVERIFY(started.tryAcquire(1, 1000));
        QElapsedTimer stopping;
        stopping.start();
        spooler.reset();
        QVERIFY(returned);  // nothing of the job runs on after the spooler
        QVERIFY(stopping.elapsed() < 1000);
    }

    // Stuck on a hung print server before its hand-over (asking for the queue) or after
    // it (the upload), a real job gives up as soon as the spooler stops.
    void stoppingCutsAHungServersWaitShort_data() {
        QTest::addColumn<bool>("answersOnce");
        QTest::newRow("before hand-over") << false;
        QTest::newRow("after hand-over") << true;
    }
    void stoppingCutsAHungServersWaitShort() {
        QFETCH(bool, answersOnce);
        FakeIppServer server(answersOnce ? FakeIppServer::Mode::AnswerOnce
                                         : FakeIppServer::Mode::Silent);
        qputenv("CUPS_SERVER", "127.0.0.1:" + QByteArray::number(server.port()));
        CupsPrinterServices cups;
        cups.SetPrinter({"PosTestPdf", "cups-pdf:/"});
        cups.PrintLine("STUCK");
        std::atomic<bool> handedOver = false;
        std::atomic<bool> returned = false;
        auto spooler = std::make_unique<PrintSpooler>();
        spooler->enqueue(
            1,
            [&, job = cups.takeDocument()](PrintLimits limits) {
                limits.stillWanted = [&, wanted = limits.stillWanted] {
                    return handedOver = wanted();
                };
                try {
                    job(limits);
                } catch (const PrintError&) {
                    returned = true;
                }
            },
            5);
        if (answersOnce)
            QTRY_VERIFY_WITH_TIMEOUT(handedOver, 3000);
        else
            QTest::qWait(200);
        QElapsedTimer stopping;
        stopping.start();
        spooler.reset();
        const qint64 stopMs = stopping.elapsed();
        qInfo("the spooler stopped in %lld ms", stopMs);
        QVERIFY(returned);  // given up, not printed, and over
        QVERIFY2(stopMs < 200, qPrintable(QString::number(stopMs)));
    }
};

QTEST_MAIN(TestPrintSpooler)
#include "tst_print_spooler.moc"
