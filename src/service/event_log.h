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

// Where the lines go: on Linux, to the journal when stderr is the journal's stream, as
// entries with fields of their own (and, should the journal not take one at once, on stderr
// with journald's <N> priority prefix and no time of our own); else, and on Windows, to
// stderr with an ISO-8601 local time. Always also to the file `logPath`, capped at kMaxLogBytes
// with one older file kept as `logPath` + ".1" (or, when it cannot be moved aside, started afresh).
// The bridge never waits on or fails by its log: a line stderr cannot take at once is dropped and
// counted, and a file that cannot be written ends file logging with one line on stderr.
namespace event_log {

constexpr qint64 kMaxLogBytes = 1 << 20;

// Installs the message handler for the rest of the run, for stderr as it is at the call;
// an empty path logs to stderr only. Only tests name a journal socket other than journald's.
void install(const QString& logPath, const QByteArray& journalSocket = {});

// The kinds of channel event that the journal marks with a MESSAGE_ID of their own.
enum class Event { Other, DvrLinkUp, DvrLinkFailed, TerminalConnected, TerminalGone };

// What a line of a channel is about, for the journal to index: the peer is the terminal's
// address for terminal lines and the DVR's ip:port for link lines.
struct ChannelEvent {
    int channel = 0;
    QString peer;
    Event kind = Event::Other;
    qint64 durationMs = -1;  // how long the terminal's session lasted, for TerminalGone
};

// Logs `message` as qCInfo(category) and its kin would (the same line in the file and on
// a plain stderr), and hands the event's fields to the journal.
void channelLine(QtMsgType type, const QLoggingCategory& category, const ChannelEvent& event,
                 const QString& message);

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
