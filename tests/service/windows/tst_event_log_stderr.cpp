#include <windows.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include "service/event_log.h"

namespace {

// stderr on an anonymous pipe of the test's own while it lives, with the event log
// installed on it; the pipe is read only when the test asks.
class StderrPipe {
public:
    StderrPipe() {
        ::CreatePipe(&read_, &write_, nullptr, 4096);
        ::SetStdHandle(STD_ERROR_HANDLE, write_);
        event_log::install(QString());
    }
    ~StderrPipe() {
        ::SetStdHandle(STD_ERROR_HANDLE, saved_);
        event_log::install(QString());
        ::CloseHandle(read_);
        ::CloseHandle(write_);
    }
    // Reads what comes until `end` has come, or until nothing more has for 300 ms; at most
    // for 10 s.
    QByteArray read(const QByteArray& end = {}) {
        QElapsedTimer timer;
        timer.start();
        QElapsedTimer quiet;
        quiet.start();
        while ((end.isEmpty() || !out_.contains(end)) && quiet.elapsed() < 300 &&
               timer.elapsed() < 10000) {
            DWORD available = 0;
            if (::PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
                QByteArray chunk(available, Qt::Uninitialized);
                DWORD got = 0;
                ::ReadFile(read_, chunk.data(), available, &got, nullptr);
                out_ += chunk.left(got);
                quiet.start();
            } else {
                QTest::qWait(10);
            }
        }
        return out_;
    }

private:
    HANDLE saved_ = ::GetStdHandle(STD_ERROR_HANDLE);
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    QByteArray out_;
};

}  // namespace

class TestEventLogStderr : public QObject {
    Q_OBJECT
private slots:
    void stderrNobodyReadsHoldsUpNoLine() {
        StderrPipe err;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 5000; ++i) {
            qCInfo(lcService, "line %d", i);
        }
        QVERIFY(timer.elapsed() < 1000);
        // What was queued goes out as the pipe is read; then the count, then the next line.
        QVERIFY(err.read().contains(" line 0\n"));
        qCInfo(lcService, "read again");
        const QString out = QString::fromUtf8(err.read(" read again\n"));
        const auto told = QRegularExpression(
                              " (\\d+) log lines were dropped while stderr was "
                              "blocked\n[^\n]* read again\n$")
                              .match(out);
        QVERIFY2(told.hasMatch(), qPrintable(out.right(400)));
        QVERIFY(told.captured(1).toInt() >= 1000);
        QVERIFY(!out.contains("line 4999\n"));
    }

    void noStderrAtAll() {
        // A window program started without a console: no handle at all.
        const HANDLE saved = ::GetStdHandle(STD_ERROR_HANDLE);
        ::SetStdHandle(STD_ERROR_HANDLE, nullptr);
        event_log::install(QString());
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 1000; ++i) {
            qCInfo(lcService, "line %d", i);
        }
        QVERIFY(timer.elapsed() < 1000);
        ::SetStdHandle(STD_ERROR_HANDLE, saved);
        event_log::install(QString());
    }
};

QTEST_GUILESS_MAIN(TestEventLogStderr)
#include "tst_event_log_stderr.moc"
