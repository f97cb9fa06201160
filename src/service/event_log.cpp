#include "service/event_log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <utility>

#include "service/journal.h"

Q_LOGGING_CATEGORY(lcDvr, "poskavelin.dvr")
Q_LOGGING_CATEGORY(lcPos, "poskavelin.pos")
Q_LOGGING_CATEGORY(lcPrint, "poskavelin.print")
Q_LOGGING_CATEGORY(lcSchedule, "poskavelin.schedule")
Q_LOGGING_CATEGORY(lcSettings, "poskavelin.settings")
Q_LOGGING_CATEGORY(lcService, "poskavelin.service")

namespace {

// Set by channelLine() for the one message it passes through Qt to handleMessage().
thread_local const event_log::ChannelEvent* tChannelEvent = nullptr;

const char* levelWord(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return "debug";
        case QtInfoMsg:
            return "info";
        case QtWarningMsg:
            return "warning";
        case QtCriticalMsg:
            return "error";
        case QtFatalMsg:
            return "fatal";
    }
    return "info";
}

QByteArray timestamped(QtMsgType type, const QString& category, const QString& message) {
    // With the offset written out, so lines from before and after a clock change still sort.
    const QDateTime local = QDateTime::currentDateTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs).toUtf8() + ' ' +
           levelWord(type) + ' ' + category.toUtf8() + ": " + message.toUtf8() + '\n';
}

bool writeAll(int fd, const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// The file beside the program, opened once and kept. It never passes kMaxLogBytes: at the
// cap it moves aside as ".1", or, where that cannot be done, starts afresh in place. A file
// that cannot be opened at all ends file logging, said once on stderr, instead of costing
// an attempt on every line for the rest of the run.
class LogFile {
public:
    void setPath(const QString& path) {
        close();
        path_ = QFile::encodeName(path);
        rotated_ = path_ + ".1";
        stopped_ = false;
    }

    // Empty, or the one line that says why file logging has stopped.
    QString write(const QByteArray& line) {
        if (path_.isEmpty() || stopped_) {
            return {};
        }
        QString why;
        if (fd_ < 0) {
            fd_ = openRegular(0, why);
            if (fd_ < 0) {
                return stop(why);
            }
        }
        if (size_ > 0 && size_ + line.size() > event_log::kMaxLogBytes) {
            why = rotate();
            if (!why.isEmpty()) {
                return why;
            }
        }
        // A line near the size of the whole cap is cut: no file could hold it and others.
        append(line.size() < event_log::kMaxLogBytes / 2
                   ? line
                   : line.left(event_log::kMaxLogBytes / 2 - 1) + '\n');
        return {};
    }

private:
    // Only a regular file: a log path that is a pipe or a device is not ours to feed.
    int openRegular(int extraFlags, QString& why) {
        const int fd = ::open(
            path_.constData(),
            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | extraFlags, 0660);
        if (fd < 0) {
            why = QString::fromLocal8Bit(std::strerror(errno));
            return -1;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            why = QStringLiteral("not a regular file");
            return -1;
        }
        size_ = info.st_size;
        return fd;
    }

    QString rotate() {
        QString why;
        if (::rename(path_.constData(), rotated_.constData()) == 0) {
            ::close(std::exchange(fd_, -1));
            fd_ = openRegular(0, why);
            return fd_ < 0 ? stop(why) : QString();
        }
        // No older file can be kept (".1" is a folder, or the folder refuses renames): the
        // cap holds all the same, at the cost of the older lines.
        const QString renameWhy = QString::fromLocal8Bit(std::strerror(errno));
        const int fresh = openRegular(O_TRUNC, why);
        ::close(std::exchange(fd_, fresh));
        if (fd_ < 0) {
            return stop(why);
        }
        append(timestamped(
            QtWarningMsg, QString::fromLatin1(lcService().categoryName()),
            QStringLiteral("log file %1 could not be moved aside to %2 (%3), so "
                           "it starts afresh and the older lines are gone")
                .arg(QFile::decodeName(path_), QFile::decodeName(rotated_), renameWhy)));
        return {};
    }

    void append(const QByteArray& line) {
        if (writeAll(fd_, line)) {
            size_ += line.size();
            return;
        }
        // A full disk may have taken part of the line: cut it off, so that the next line
        // that fits starts on a line of its own.
        [[maybe_unused]] const int cut = ::ftruncate(fd_, size_);
    }

    QString stop(const QString& why) {
        stopped_ = true;
        close();
        return QStringLiteral(
                   "log file %1 cannot be written (%2), so the log goes to stderr "
                   "only from now on")
            .arg(QFile::decodeName(path_), why);
    }

    void close() {
        if (fd_ >= 0) {
            ::close(std::exchange(fd_, -1));
        }
    }

    QByteArray path_;
    QByteArray rotated_;
    int fd_ = -1;
    qint64 size_ = 0;
    bool stopped_ = false;
};

// stderr as the bridge writes it: without ever waiting. A journal that stalls, a terminal
// paused with Ctrl+S or a pipe nobody reads would otherwise hold up every channel at its
// next log line. A line that would wait is dropped and counted, and the count is told once
// lines go through again. O_NONBLOCK is never set on fd 2 itself: that flag belongs to an
// open file description shared with whoever started us (the shell and its terminal), so
// a socket is sent to with MSG_DONTWAIT, and a pipe or a device is written through a
// description of our own.
class StderrOut {
public:
    void attach() {
        detach();
        struct stat info {};
        if (::fstat(STDERR_FILENO, &info) != 0) {
            return;  // no stderr at all; fd 2 may even be reused for another file later
        }
        toJournal_ = event_log::isJournalStream(qgetenv("JOURNAL_STREAM"), STDERR_FILENO);
        fd_ = STDERR_FILENO;
        socket_ = S_ISSOCK(info.st_mode);
        if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
            // Without /proc, or for a pipe whose reader is gone already, plain writes remain.
            const int own =
                ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_APPEND | O_NOCTTY);
            fd_ = own >= 0 ? own : STDERR_FILENO;
        }
    }

    bool toJournal() const { return toJournal_; }

    void write(const QByteArray& line) {
        if (fd_ < 0) {
            return;
        }
        // The rest of a line the stream took only part of goes first, or nothing goes.
        if (!pending_.isEmpty()) {
            qsizetype done = 0;
            const bool failed = put(pending_, done) == Put::Failed;
            pending_ = failed ? QByteArray() : pending_.mid(done);
            if (!pending_.isEmpty()) {
                ++dropped_;
                return;
            }
        }
        const QByteArray out = dropped_ == 0 ? line : droppedLine() + line;
        qsizetype done = 0;
        const Put result = put(out, done);
        if (result == Put::Blocked && done == 0) {
            ++dropped_;
            return;
        }
        if (result == Put::Blocked) {
            pending_ = out.mid(done);
        }
        dropped_ = 0;
    }

private:
    enum class Put { Done, Blocked, Failed };

    Put put(const QByteArray& bytes, qsizetype& done) {
        while (done < bytes.size()) {
            const char* from = bytes.constData() + done;
            const size_t size = size_t(bytes.size() - done);
            const ssize_t n = socket_ ? ::send(fd_, from, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                      : ::write(fd_, from, size);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return Put::Blocked;
            }
            if (n <= 0) {
                return Put::Failed;  // a stream that is gone; its lines are not counted
            }
            done += n;
        }
        return Put::Done;
    }

    QByteArray droppedLine() const {
        return event_log::formatForStderr(
            QtWarningMsg, QString::fromLatin1(lcService().categoryName()),
            QStringLiteral("%1 log line%2 dropped while stderr was blocked")
                .arg(dropped_)
                .arg(dropped_ == 1 ? " was" : "s were"),
            toJournal_);
    }

    void detach() {
        if (fd_ > STDERR_FILENO) {
            ::close(fd_);
        }
        fd_ = -1;
        socket_ = false;
        toJournal_ = false;
        pending_.clear();
        dropped_ = 0;  // counted for a stream that is no longer ours
    }

    int fd_ = -1;
    bool socket_ = false;
    bool toJournal_ = false;
    QByteArray pending_;
    qint64 dropped_ = 0;
};

// Lines come from the print worker too, so one lock keeps them whole; nothing done under
// it waits on a reader, as stderr is written without blocking.
struct Sink {
    QMutex mutex;
    StderrOut err;
    LogFile file;
    std::unique_ptr<journal::Sender> journal;
};

Sink& sink() {
    // Never destroyed: Qt's own globals may still log while the process exits.
    static Sink* instance = new Sink;
    return *instance;
}

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const QString category = QString::fromLatin1(context.category ? context.category : "default");
    Sink& s = sink();
    QMutexLocker lock(&s.mutex);
    if (!s.err.toJournal() ||
        !s.journal->send(journal::entry(type, category, message, tChannelEvent))) {
        s.err.write(event_log::formatForStderr(type, category, message, s.err.toJournal()));
    }
    const QString stopped = s.file.write(timestamped(type, category, message));
    if (!stopped.isEmpty()) {
        s.err.write(event_log::formatForStderr(QtWarningMsg,
                                               QString::fromLatin1(lcService().categoryName()),
                                               stopped, s.err.toJournal()));
    }
}

}  // namespace

namespace event_log {

QByteArray formatForStderr(QtMsgType type, const QString& category, const QString& message,
                           bool toJournal) {
    if (toJournal) {
        // journald stamps the time itself and reads the priority from the prefix.
        return '<' + QByteArray::number(journal::priority(type)) + '>' + category.toUtf8() + ": " +
               message.toUtf8() + '\n';
    }
    return timestamped(type, category, message);
}

bool isJournalStream(const QByteArray& journalStream, int fd) {
    // systemd sets it for the stream it hands a service, and a child inherits it with
    // stderr redirected elsewhere (a shell started from a unit, `2>file`): only the same
    // device and inode say fd is the journal.
    const QList<QByteArray> parts = journalStream.split(':');
    if (parts.size() != 2) {
        return false;
    }
    bool devOk = false;
    bool inoOk = false;
    const qulonglong dev = parts[0].toULongLong(&devOk);
    const qulonglong ino = parts[1].toULongLong(&inoOk);
    struct stat info {};
    return devOk && inoOk && ::fstat(fd, &info) == 0 && info.st_dev == dev && info.st_ino == ino;
}

void install(const QString& logPath, const QByteArray& journalSocket) {
    Sink& s = sink();
    {
        QMutexLocker lock(&s.mutex);
        s.err.attach();
        s.file.setPath(logPath);
        s.journal = std::make_unique<journal::Sender>(journalSocket.isEmpty() ? journal::kSocket
                                                                              : journalSocket);
    }
    qInstallMessageHandler(handleMessage);
}

void channelLine(QtMsgType type, const QLoggingCategory& category, const ChannelEvent& event,
                 const QString& message) {
    if (!category.isEnabled(type)) {
        return;
    }
    // Through Qt's logging like every other line, so its rules and handlers apply alike.
    tChannelEvent = &event;
    const QMessageLogger logger;
    switch (type) {
        case QtDebugMsg:
            logger.debug(category, "%s", qUtf8Printable(message));
            break;
        case QtInfoMsg:
            logger.info(category, "%s", qUtf8Printable(message));
            break;
        case QtWarningMsg:
            logger.warning(category, "%s", qUtf8Printable(message));
            break;
        case QtCriticalMsg:
        case QtFatalMsg:
            logger.critical(category, "%s", qUtf8Printable(message));
            break;
    }
    tChannelEvent = nullptr;
}

}  // namespace event_log

FailureRun::Line FailureRun::failed(qint64 nowMs) {
    if (failures_++ == 0) {
        firstMs_ = lastLineMs_ = nowMs;
        return Line::First;
    }
    if (nowMs - lastLineMs_ >= kSummaryEveryMs) {
        lastLineMs_ = nowMs;
        return Line::Summary;
    }
    return Line::None;
}

QString FailureRun::ended(qint64 nowMs) {
    if (failures_ == 0) {
        return {};
    }
    const QString text = QStringLiteral(" after %1 failed attempt%2 in %3")
                             .arg(failures_)
                             .arg(failures_ == 1 ? "" : "s")
                             .arg(spokenDuration(nowMs - firstMs_));
    failures_ = 0;
    return text;
}

qint64 steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString spokenDuration(qint64 ms) {
    const qint64 seconds = (ms + 500) / 1000;
    if (seconds < 60) {
        return QStringLiteral("%1 s").arg(seconds);
    }
    if (seconds < 3600) {
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    }
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
}
