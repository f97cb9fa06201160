#include "service/event_log_sink.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "service/linux/journal.h"

// Linux's side of the event log: journald, and a stderr that is never waited on.

namespace {

// Whether fd is the journal's stream, from the "device:inode" that systemd puts into
// JOURNAL_STREAM for the stream it connects. systemd sets it for the stream it hands a
// service, and a child inherits it with stderr redirected elsewhere (a shell started from a
// unit, `2>file`): only the same device and inode say fd is the journal.
bool isJournalStream(const QByteArray& journalStream, int fd) {
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

QByteArray formatForStderr(QtMsgType type, const QString& category, const QString& message,
                           bool toJournal) {
    if (toJournal) {
        // journald stamps the time itself and reads the priority from the prefix.
        return '<' + QByteArray::number(journal::priority(type)) + '>' + category.toUtf8() + ": " +
               message.toUtf8() + '\n';
    }
    return event_log::timestamped(type, category, message);
}

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
        toJournal_ = isJournalStream(qgetenv("JOURNAL_STREAM"), STDERR_FILENO);
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
        return formatForStderr(QtWarningMsg, QString::fromLatin1(lcService().categoryName()),
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

struct Outputs {
    StderrOut err;
    std::unique_ptr<journal::Sender> journal;
};

Outputs& outputs() {
    // Never destroyed, like the log itself: Qt's own globals may still log while we exit.
    static Outputs* instance = new Outputs;
    return *instance;
}

}  // namespace

namespace event_log::sink {

void attach(const QByteArray& journalSocket) {
    Outputs& o = outputs();
    o.err.attach();
    o.journal = std::make_unique<journal::Sender>(journalSocket.isEmpty() ? journal::kSocket
                                                                          : journalSocket);
}

void write(QtMsgType type, const QString& category, const QString& message,
           const ChannelEvent* event) {
    Outputs& o = outputs();
    if (!o.err.toJournal() || !o.journal->send(journal::entry(type, category, message, event))) {
        o.err.write(formatForStderr(type, category, message, o.err.toJournal()));
    }
}

bool openFile(QFile& file, const QString& path, bool truncate, QString* why) {
    // Only a regular file: a log path that is a pipe or a device is not ours to feed.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                              (truncate ? O_TRUNC : 0),
                          0660);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *why = QStringLiteral("not a regular file");
        return false;
    }
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *why = file.errorString();
        return false;
    }
    return true;
}

}  // namespace event_log::sink
