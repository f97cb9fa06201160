#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include "harness.h"
#include "service/event_log.h"

namespace {

// stderr on a pipe of the test's own while it lives, with the event log installed on it.
// fd 2 stays a blocking descriptor, as a real one is.
class StderrPipe {
public:
    explicit StderrPipe(const QString& logPath = QString()) {
        [[maybe_unused]] const int made = ::pipe2(fds_, O_CLOEXEC);  // else every test fails
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        ::dup2(fds_[1], STDERR_FILENO);
        event_log::install(logPath);
    }
    ~StderrPipe() {
        ::dup2(saved_, STDERR_FILENO);
        event_log::install(QString());
        for (int fd : {saved_, fds_[0], fds_[1]}) {
            ::close(fd);
        }
    }
    void fill() {
        ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
        const QByteArray chunk(1 << 16, 'x');
        for (int i = 0; i < 64 && ::write(fds_[1], chunk.constData(), chunk.size()) > 0; ++i) {
        }
        ::fcntl(fds_[1], F_SETFL, 0);
    }
    QByteArray drain() {
        QByteArray out(1 << 22, Qt::Uninitialized);
        const ssize_t n = ::read(fds_[0], out.data(), out.size());
        return out.left(qMax<ssize_t>(n, 0));
    }
    int fds_[2] = {-1, -1};

private:
    int saved_ = ::dup(STDERR_FILENO);
};

}  // namespace

class TestEventLog : public QObject {
    Q_OBJECT
private slots:
    void logFileStaysUnderItsCapWhenItCannotMoveAside() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("PosKavelin.log.1/kept"));  // rename() cannot replace it
        StderrPipe err(dir.filePath("PosKavelin.log"));
        const QByteArray pad(200, 'p');
        for (int i = 0; i < 15000; ++i) {  // over 3 MiB
            qCInfo(lcService, "line %d %s", i, pad.constData());
        }
        QFile file(dir.filePath("PosKavelin.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray log = file.readAll();
        QVERIFY(log.size() <= event_log::kMaxLogBytes);
        QVERIFY(log.left(log.indexOf('\n')).contains("could not be moved aside"));
        QVERIFY(log.endsWith("line 14999 " + pad + '\n'));
    }

    void logFileThatCannotBeOpenedIsToldOnce() {
        QTemporaryDir dir;
        StderrPipe err(dir.filePath("missing/PosKavelin.log"));
        for (int i = 0; i < 100; ++i) {
            qCInfo(lcService, "line %d", i);
        }
        const QByteArray out = err.drain();
        QCOMPARE(out.count("cannot be written"), 1);
        QVERIFY(out.endsWith("line 99\n"));
    }

    void stderrNobodyReadsHoldsUpNoForwarding() {
        StderrPipe err;
        err.fill();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 5000; ++i) {
            qCInfo(lcService, "line %d", i);
        }
        QVERIFY(timer.elapsed() < 1000);
        {
            Harness h;
            FakeDvr dvr;
            auto terminal = h.openRow(1, dvr.port());
            QVERIFY(terminal);
            terminal->write("PIECE");
            QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("PIECE\r\n"), 50);
        }
        QVERIFY(err.drain().startsWith("xxxx"));
        qCInfo(lcService, "read again");
        const QString after = QString::fromUtf8(err.drain());
        const auto told = QRegularExpression(
                              " (\\d+) log lines were dropped while stderr was "
                              "blocked\n[^\n]* read again\n$")
                              .match(after);
        QVERIFY2(told.hasMatch(), qPrintable(after));
        QVERIFY(told.captured(1).toInt() >= 5000);
    }

    void journalIsStderrOnlyWhenTheStreamIsStderrs() {
        StderrPipe err;
        struct stat info {};
        QCOMPARE(::fstat(err.fds_[1], &info), 0);
        const QByteArray dev = QByteArray::number(info.st_dev) + ':';
        for (const QByteArray& value :
             {dev + QByteArray::number(info.st_ino), dev + QByteArray::number(info.st_ino + 1),
              dev + QByteArray::number(info.st_ino) + 'x'}) {
            qputenv("JOURNAL_STREAM", value);
            event_log::install(QString());
            qCWarning(lcService, "who reads this");
            const QByteArray line = err.drain();
            const bool journal = value == dev + QByteArray::number(info.st_ino);
            QCOMPARE(line.startsWith("<4>poskavelin.service: who reads this\n"), journal);
            QCOMPARE(line.endsWith(" warning poskavelin.service: who reads this\n"), !journal);
        }
        qunsetenv("JOURNAL_STREAM");
    }
};

QTEST_MAIN(TestEventLog)
#include "tst_event_log.moc"
