#include "service/event_log.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <chrono>
#include <cstdio>

// The Windows side of the event log: the same lines to stderr and to the capped file beside
// the program, without the journal, which Windows does not have. The line format, the
// failure runs and the durations below must read exactly as in service/event_log.cpp.

Q_LOGGING_CATEGORY(lcDvr, "poskavelin.dvr")
Q_LOGGING_CATEGORY(lcPos, "poskavelin.pos")
Q_LOGGING_CATEGORY(lcPrint, "poskavelin.print")
Q_LOGGING_CATEGORY(lcSchedule, "poskavelin.schedule")
Q_LOGGING_CATEGORY(lcSettings, "poskavelin.settings")
Q_LOGGING_CATEGORY(lcService, "poskavelin.service")

namespace {

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

// PosKavelin.log, moved aside to PosKavelin.log.1 when the next line would pass the cap.
class LogFile {
public:
    void setPath(const QString& path) {
        file_.setFileName(path);
        rotated_ = path + QStringLiteral(".1");
        if (!file_.open(QIODevice::Append | QIODevice::Unbuffered)) {
            failure_ = file_.errorString();
        }
    }

    // Empty, or the one line saying why file logging has ended.
    QString write(const QByteArray& line) {
        if (!file_.isOpen()) {
            return std::exchange(failure_, QString()).isEmpty()
                       ? QString()
                       : QStringLiteral("file logging ended: %1 cannot be opened")
                             .arg(file_.fileName());
        }
        if (file_.size() > 0 && file_.size() + line.size() > event_log::kMaxLogBytes) {
            rotate();
        }
        file_.write(line.size() < event_log::kMaxLogBytes / 2
                        ? line
                        : line.left(event_log::kMaxLogBytes / 2 - 1) + '\n');
        return {};
    }

private:
    void rotate() {
        file_.close();
        QFile::remove(rotated_);
        // A log that cannot move aside (PosKavelin.log.1 a folder, say) starts afresh.
        const QIODevice::OpenMode mode = QFile::rename(file_.fileName(), rotated_)
                                             ? QIODevice::Append
                                             : QIODevice::WriteOnly | QIODevice::Truncate;
        file_.open(mode | QIODevice::Unbuffered);
    }

    QFile file_;
    QString rotated_;
    QString failure_;
};

struct Sink {
    QMutex mutex;
    LogFile file;
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
    const QByteArray line = timestamped(type, category, message);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    const QString stopped = s.file.write(line);
    if (!stopped.isEmpty()) {
        const QByteArray notice =
            timestamped(QtWarningMsg, QString::fromLatin1(lcService().categoryName()), stopped);
        std::fwrite(notice.constData(), 1, size_t(notice.size()), stderr);
    }
}

}  // namespace

namespace event_log {

QByteArray formatForStderr(QtMsgType type, const QString& category, const QString& message, bool) {
    return timestamped(type, category, message);
}

bool isJournalStream(const QByteArray&, int) {
    return false;
}

void install(const QString& logPath, const QByteArray&) {
    {
        QMutexLocker lock(&sink().mutex);
        sink().file.setPath(logPath);
    }
    qInstallMessageHandler(handleMessage);
}

void channelLine(QtMsgType type, const QLoggingCategory& category, const ChannelEvent&,
                 const QString& message) {
    if (!category.isEnabled(type)) {
        return;
    }
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
