#include "service/event_log.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <chrono>

#include "service/event_log_sink.h"

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

QString serviceCategory() {
    return QString::fromLatin1(lcService().categoryName());
}

// The file beside the program, opened at its first line and kept. It never passes
// kMaxLogBytes: at the cap it moves aside as ".1", or, where that cannot be done, starts
// afresh in place. A file that cannot be opened at all ends file logging, said once on
// stderr, instead of costing an attempt on every line for the rest of the run.
class LogFile {
public:
    void setPath(const QString& path) {
        file_.close();
        path_ = path;
        rotated_ = path + QStringLiteral(".1");
        stopped_ = false;
    }

    // Empty, or the one line that says why file logging has stopped.
    QString write(const QByteArray& line) {
        if (path_.isEmpty() || stopped_) {
            return {};
        }
        QString why;
        if (!file_.isOpen() && !open(false, why)) {
            return stop(why);
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
    bool open(bool truncate, QString& why) {
        if (!event_log::sink::openFile(file_, path_, truncate, &why)) {
            return false;
        }
        size_ = file_.size();
        return true;
    }

    QString rotate() {
        // Closed first: Windows moves no file that is open.
        file_.close();
        QString why;
        QFile::remove(rotated_);
        QFile current(path_);
        if (current.rename(rotated_)) {
            return open(false, why) ? QString() : stop(why);
        }
        // No older file can be kept (".1" is a folder, or the folder refuses renames): the
        // cap holds all the same, at the cost of the older lines.
        if (!open(true, why)) {
            return stop(why);
        }
        append(event_log::timestamped(
            QtWarningMsg, serviceCategory(),
            QStringLiteral("log file %1 could not be moved aside to %2 (%3), so "
                           "it starts afresh and the older lines are gone")
                .arg(path_, rotated_, current.errorString())));
        return {};
    }

    void append(const QByteArray& line) {
        if (file_.write(line) == line.size()) {
            size_ += line.size();
            return;
        }
        // A full disk may have taken part of the line: cut it off, so that the next line
        // that fits starts on a line of its own.
        file_.resize(size_);
    }

    QString stop(const QString& why) {
        stopped_ = true;
        file_.close();
        return QStringLiteral(
                   "log file %1 cannot be written (%2), so the log goes to stderr "
                   "only from now on")
            .arg(path_, why);
    }

    QFile file_;
    QString path_;
    QString rotated_;
    qint64 size_ = 0;
    bool stopped_ = false;
};

// Lines come from the print worker too, so one lock keeps them whole; nothing done under
// it waits on a reader.
struct Log {
    QMutex mutex;
    LogFile file;
};

Log& log() {
    // Never destroyed: Qt's own globals may still log while the process exits.
    static Log* instance = new Log;
    return *instance;
}

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const QString category = QString::fromLatin1(context.category ? context.category : "default");
    Log& l = log();
    QMutexLocker lock(&l.mutex);
    event_log::sink::write(type, category, message, tChannelEvent);
    const QString stopped = l.file.write(event_log::timestamped(type, category, message));
    if (!stopped.isEmpty()) {
        event_log::sink::write(QtWarningMsg, serviceCategory(), stopped, nullptr);
    }
}

}  // namespace

namespace event_log {

QByteArray timestamped(QtMsgType type, const QString& category, const QString& message) {
    // With the offset written out, so lines from before and after a clock change still sort.
    const QDateTime local = QDateTime::currentDateTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs).toUtf8() + ' ' +
           levelWord(type) + ' ' + category.toUtf8() + ": " + message.toUtf8() + '\n';
}

void install(const QString& logPath, const QByteArray& journalSocket) {
    Log& l = log();
    {
        QMutexLocker lock(&l.mutex);
        sink::attach(journalSocket);
        l.file.setPath(logPath);
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
