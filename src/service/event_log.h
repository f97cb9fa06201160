#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

// One category per subsystem, so QT_LOGGING_RULES can quiet or widen each the usual way.
// A line names the channel first, then the peer, then what happened and why. Receipt text
// is customer data (card numbers, names): it never goes into a line, only its size.
Q_DECLARE_LOGGING_CATEGORY(lcDvr)
Q_DECLARE_LOGGING_CATEGORY(lcPos)
Q_DECLARE_LOGGING_CATEGORY(lcPrint)
Q_DECLARE_LOGGING_CATEGORY(lcSchedule)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcService)

// Where the lines go: always stderr (with journald's <N> priority prefixes and no time of
// our own when stderr is the journal, else with an ISO-8601 local time), and also the file
// `logPath`, capped at kMaxLogBytes with one older file kept as `logPath` + ".1" (or, when
// it cannot be moved aside, started afresh). The bridge never waits on or fails by its log:
// a line stderr cannot take at once is dropped and counted, and a file that cannot be
// written ends file logging with one line on stderr.
namespace event_log {

constexpr qint64 kMaxLogBytes = 1 << 20;

// Installs the message handler for the rest of the run, for stderr as it is at the call;
// an empty path logs to stderr only.
void install(const QString& logPath);

// Whether fd is the journal's stream, from the "device:inode" that systemd puts into
// JOURNAL_STREAM for the stream it connects.
bool isJournalStream(const QByteArray& journalStream, int fd);

// The line as stderr shows it, for the given Qt message type.
QByteArray formatForStderr(QtMsgType type, const QString& category, const QString& message,
                           bool toJournal);

}  // namespace event_log

// A failure that repeats (a DVR that refuses for an hour) is logged when it starts,
// summarised at most once a minute while it lasts, and logged again when it ends. Times
// are milliseconds of any steady clock; the caller words and logs the lines.
class FailureRun {
public:
    static constexpr qint64 kSummaryEveryMs = 60000;
    enum class Line { None, First, Summary };

    // One more failure, and which line it deserves.
    Line failed(qint64 nowMs);
    // Ends the run; " after N failed attempts in M min S s", or empty when nothing failed.
    QString ended(qint64 nowMs);
    int failures() const { return failures_; }
    bool failing() const { return failures_ > 0; }
    qint64 lastingMs(qint64 nowMs) const { return failures_ ? nowMs - firstMs_ : 0; }

private:
    int failures_ = 0;
    qint64 firstMs_ = 0;
    qint64 lastLineMs_ = 0;
};

// Milliseconds on the monotonic clock, for ages and runs that a clock change must not bend.
qint64 steadyMs();

// "3 min 32 s", "45 s", "2 h 5 min".
QString spokenDuration(qint64 ms);
