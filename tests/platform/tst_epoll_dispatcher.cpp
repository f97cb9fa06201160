#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <thread>

#include "harness.h"
#include "platform/epoll_dispatcher.h"

namespace {

const bool installed = [] {
    QCoreApplication::setEventDispatcher(EpollDispatcher::createForOffscreen());
    return true;
}();

}  // namespace

class TestEpollDispatcher : public QObject {
    Q_OBJECT
private slots:
    void isTheLoopInUse() {
        QVERIFY(installed);
        QVERIFY(qobject_cast<EpollDispatcher*>(QAbstractEventDispatcher::instance()));
    }

    void timersFireOnTimeAndNeverEarly() {
        QElapsedTimer clock;
        clock.start();
        qint64 firedAt = -1;
        int zeroTicks = 0;
        QTimer busy;
        busy.setTimerType(Qt::CoarseTimer);
        connect(&busy, &QTimer::timeout, this, [&] { ++zeroTicks; });
        busy.start(0);  // must not starve the other
        QTimer::singleShot(30, Qt::PreciseTimer, this, [&] { firedAt = clock.nsecsElapsed(); });
        QTRY_VERIFY_WITH_TIMEOUT(firedAt >= 0, 2000);
        QVERIFY2(firedAt >= 30'000'000, qPrintable(QString::number(firedAt)));
        QVERIFY(zeroTicks > 1);
    }

    // A modal box opened from a timer runs a nested loop: other timers and sockets go on,
    // the opening timer does not fire into itself, and nothing spins while it waits.
    void aNestedLoopInATimerServesTheRestWithoutSpinning() {
        int outer = 0;
        int other = 0;
        double cpuInNested = -1;
        QTimer opener;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++other; });
        connect(&opener, &QTimer::timeout, this, [&] {
            if (++outer > 1) {
                return;
            }
            const double before = cpuMs();
            QEventLoop nested;
            QTimer::singleShot(300, &nested, &QEventLoop::quit);
            nested.exec();
            cpuInNested = cpuMs() - before;
        });
        ticker.start(20);
        opener.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(cpuInNested >= 0, 3000);
        QCOMPARE(outer, 1);
        QVERIFY(other >= 5);
        QVERIFY2(cpuInNested < 100, qPrintable(QString::number(cpuInNested)));
        opener.stop();
    }

    void anotherThreadWakesAndStopsTheLoop() {
        QEventLoop loop;
        bool delivered = false;
        std::thread poster([&] {
            QMetaObject::invokeMethod(
                this, [&] { delivered = true; }, Qt::QueuedConnection);
            QThread::msleep(50);
            loop.exit(3);
        });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(loop.exec(), 3);
        poster.join();
        QVERIFY(delivered);
        QVERIFY(clock.elapsed() < 1000);
    }

    // Read and write notifiers of one descriptor; the first removes the second from its
    // handler, which must then never be called.
    void notifiersOfOneDescriptorAndRemovalInsideAHandler() {
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
        auto* reader = new QSocketNotifier(pair[0], QSocketNotifier::Read, this);
        auto* writer = new QSocketNotifier(pair[0], QSocketNotifier::Write, this);
        int reads = 0;
        int writes = 0;
        connect(writer, &QSocketNotifier::activated, this, [&] { ++writes; });
        connect(reader, &QSocketNotifier::activated, this, [&] {
            char byte;
            if (::read(pair[0], &byte, 1) == 1) {
                ++reads;
            }
            delete writer;
            writer = nullptr;
        });
        QTRY_VERIFY(writes > 0);  // a fresh socket can be written at once
        QCOMPARE(::write(pair[1], "x", 1), 1);
        QTRY_COMPARE(reads, 1);
        const int writesAfter = writes;
        QTest::qWait(50);
        QCOMPARE(writes, writesAfter);
        delete reader;
        ::close(pair[0]);
        ::close(pair[1]);
    }

    // The platform's own events, here a window's first expose, are delivered too.
    void windowEventsAreDelivered() {
        QWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }

    void anIdleLoopSleeps() {
        QTimer slow;
        slow.start(1000);
        const double before = cpuMs();
        QTest::qWait(300);
        QVERIFY2(cpuMs() - before < 30, qPrintable(QString::number(cpuMs() - before)));
    }
};

QTEST_MAIN(TestEpollDispatcher)
#include "tst_epoll_dispatcher.moc"
