#include "service/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <cerrno>
#include <cstdio>

Q_LOGGING_CATEGORY(lcDvr, "poskavelin.dvr")
Q_LOGGING_CATEGORY(lcPos, "poskavelin.pos")
Q_LOGGING_CATEGORY(lcPrint, "poskavelin.print")
Q_LOGGING_CATEGORY(lcSchedule, "poskavelin.schedule")
Q_LOGGING_CATEGORY(lcSettings, "poskavelin.settings")
Q_LOGGING_CATEGORY(lcService, "poskavelin.service")

namespace {

// syslog priorities, as journald reads them from a "<N>" prefix.
int priority(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return 7;
        case QtInfoMsg:
            return 6;
        case QtWarningMsg:
            return 4;
        case QtCriticalMsg:
            return 3;
        case QtFatalMsg:
            return 2;
    }
    return 6;
}

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

// The file beside the program. Opened once and kept, reopened after a rotation or a
// failure; every failure just drops the line.
class LogFile {
public:
    void setPath(const QString& path) {
        path_ = QFile::encodeName(path);
        rotated_ = path_ + ".1";
    }

    void write(const QByteArray& line) {
        if (path_.isEmpty()) {
            return;
        }
        if (fd_ < 0 && !open()) {
            return;
        }
        if (size_ > 0 && size_ + line.size() > event_log::kMaxLogBytes) {
            ::close(std::exchange(fd_, -1));
            ::rename(path_.constData(), rotated_.constData());
            if (!open()) {
                return;
            }
        }
        if (writeAll(fd_, line)) {
            size_ += line.size();
        } else {
            ::close(std::exchange(fd_, -1));  // try afresh with the next line
        }
    }

private:
    bool open() {
        fd_ = ::open(path_.constData(),
                     O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0660);
        if (fd_ < 0) {
            return false;
        }
        struct stat info {};
        // Only a regular file: a log path that is a pipe or a device is not ours to feed.
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(std::exchange(fd_, -1));
            return false;
        }
        size_ = info.st_size;
        return true;
    }

    QByteArray path_;
    QByteArray rotated_;
    int fd_ = -1;
    qint64 size_ = 0;
};

struct Sink {
    QMutex mutex;  // the print worker logs too
    LogFile file;
    bool toJournal = false;
};

Sink& sink() {
    static Sink instance;
    return instance;
}

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const QString category = QString::fromLatin1(context.category ? context.category : "default");
    Sink& s = sink();
    QMutexLocker lock(&s.mutex);
    writeAll(STDERR_FILENO, event_log::formatForStderr(type, category, message, s.toJournal));
    s.file.write(timestamped(type, category, message));
}

}  // namespace

namespace event_log {

QByteArray formatForStderr(QtMsgType type, const QString& category, const QString& message,
                           bool toJournal) {
    if (toJournal) {
        // journald stamps the time itself and reads the priority from the prefix.
        return '<' + QByteArray::number(priority(type)) + '>' + category.toUtf8() + ": " +
               message.toUtf8() + '\n';
    }
    return timestamped(type, category, message);
}

void install(const QString& logPath) {
    Sink& s = sink();
    {
        QMutexLocker lock(&s.mutex);
        s.toJournal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
        s.file.setPath(logPath);
    }
    qInstallMessageHandler(handleMessage);
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
