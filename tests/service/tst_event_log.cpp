#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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
    // Makes this pipe the journal's stream, with the journal listening at `socket`.
    void asJournal(const QByteArray& socket) {
        struct stat info {};
        ::fstat(fds_[1], &info);
        qputenv("JOURNAL_STREAM",
                QByteArray::number(info.st_dev) + ':' + QByteArray::number(info.st_ino));
        event_log::install(QString(), socket);
    }
    ~StderrPipe() {
        ::dup2(saved_, STDERR_FILENO);
        qunsetenv("JOURNAL_STREAM");
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

// journald's socket as a test holds it: entries are read only when asked for.
class FakeJournal {
public:
    FakeJournal() {
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~FakeJournal() { ::close(fd_); }
    QByteArrayList entries() {  // every one that came since the last call
        QByteArrayList out;
        QByteArray d(1 << 16, Qt::Uninitialized);
        for (ssize_t n; (n = ::recv(fd_, d.data(), d.size(), 0)) > 0;) {
            out += '\n' + d.left(n);  // so that every field starts after a '\n'
        }
        return out;
    }
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath("socket"));

private:
    int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
            event_log::install(QString(), "/nonexistent/journal/socket");
            qCWarning(lcService, "who reads this");
            const QByteArray line = err.drain();
            const bool journal = value == dev + QByteArray::number(info.st_ino);
            QCOMPARE(line.startsWith("<4>poskavelin.service: who reads this\n"), journal);
            QCOMPARE(line.endsWith(" warning poskavelin.service: who reads this\n"), !journal);
        }
        qunsetenv("JOURNAL_STREAM");
    }

    void journalGetsEachChannelEventWithItsFields() {
        FakeJournal journal;
        StderrPipe err;
        err.asJournal(journal.path);
        QByteArrayList got;
        auto entry = [&](const QByteArray& text) {  // the first that holds text
            got += journal.entries();
            for (const QByteArray& e : got) {
                if (e.contains(text)) {
                    return e;
                }
            }
            return QByteArray();
        };
        {
            Harness h;
            FakeDvr dvr;
            const QByteArray refusing = QByteArray::number(freePort());
            h.setRow(3, "127.0.0.1", refusing.toInt(), freePort());
            h.w().cmdConnect_Click(3);
            auto terminal = h.openRow(2, dvr.port());
            QVERIFY(terminal);
            const QByteArray from = "PEER=127.0.0.1:" + QByteArray::number(terminal->localPort());
            terminal->write("PIECE");
            QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("PIECE\r\n"), 3000);
            QTest::qWait(60);
            terminal->disconnectFromHost();
            QTRY_VERIFY_WITH_TIMEOUT(!entry(" gone").isEmpty() && !entry("failed").isEmpty(), 3000);

            const QList<std::pair<QByteArray, QByteArrayList>> expected = {
                {" link up",
                 {"MESSAGE_ID=f5f8d9b6323a46f3aa316eba4628ee1a", "CHANNEL=2",
                  "PEER=127.0.0.1:" + QByteArray::number(dvr.port()), "PRIORITY=6",
                  "SYSLOG_IDENTIFIER=poskavelin"}},
                {" link failed",
                 {"MESSAGE_ID=e472c0df89af4aaeb5272c3da6610bb6", "CHANNEL=3",
                  "PEER=127.0.0.1:" + refusing, "PRIORITY=4"}},
                {" connected", {"MESSAGE_ID=7d4aec9243c14d899165be24bf57ac83", "CHANNEL=2", from}},
                {" gone", {"MESSAGE_ID=4750bfd31d134f288ae471006503ef7f", "CHANNEL=2", from}},
                // A line of the channel from elsewhere, without an event: its channel all the same.
                {"channel 2: accepts terminals", {"CHANNEL=2"}}};
            for (const auto& [text, fields] : expected) {
                for (const QByteArray& field : fields) {
                    QVERIFY2(entry(text).contains('\n' + field + '\n'), text + ": " + field);
                }
            }
            QVERIFY(!entry("channel 2: accepts terminals").contains("PEER="));
            const QString gone = QString::fromUtf8(entry(" gone"));
            QVERIFY2(gone.contains(QRegularExpression(" gone after \\d+ s, 1 pieces, 5 bytes\n")),
                     qPrintable(gone));
            const int lastedMs = gone.section("\nDURATION_MS=", 1).section('\n', 0, 0).toInt();
            QVERIFY(lastedMs >= 60 && lastedMs < 10000);
        }
        qCWarning(lcService, "two\nlines");  // a line break takes the field's length form
        QVERIFY(entry("two").startsWith(QByteArray("\nMESSAGE\n\x1d\0\0\0\0\0\0\0", 17) +
                                        "poskavelin.service: two\nlines\n"));
        QVERIFY(!err.drain().contains("poskavelin"));  // each line once, in the journal only
    }

    void aJournalThatCannotTakeALineLeavesItOnStderr_data() {
        QTest::addColumn<bool>("journalRuns");
        QTest::newRow("no journal") << false;
        QTest::newRow("a journal that does not read") << true;
    }
    void aJournalThatCannotTakeALineLeavesItOnStderr() {
        QFETCH(bool, journalRuns);
        FakeJournal journal;
        StderrPipe err;
        err.asJournal(journalRuns ? journal.path : journal.path + ".gone");
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 1000; ++i) {
            event_log::channelLine(QtInfoMsg, lcPos(), {1, "10.0.0.9:4000"},
                                   QStringLiteral("channel 1: line %1").arg(i));
        }
        QVERIFY(timer.elapsed() < 1000);
        QVERIFY(err.drain().endsWith("<6>poskavelin.pos: channel 1: line 999\n"));
    }
};

QTEST_MAIN(TestEventLog)
#include "tst_event_log.moc"
