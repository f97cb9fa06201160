#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <utility>

#include "service/event_log.h"

// journald's native protocol, spoken by hand rather than through sd_journal_send(): that
// call sends on a blocking socket, so a journald that stops reading would hold up every
// channel at its next line, and it reports success when there is no journal at all. Here a
// line the journal cannot take at once is the caller's to write elsewhere.
namespace journal {

constexpr char kSocket[] = "/run/systemd/journal/socket";

// The syslog priority of a Qt message type, as journald files it.
int priority(QtMsgType type);

// One entry: MESSAGE, PRIORITY and SYSLOG_IDENTIFIER, and the channel's fields: CHANNEL
// and PEER, MESSAGE_ID for the kinds of event one looks for, DURATION_MS when known. A
// line without an event but that starts "channel N: " (as every line of a channel does)
// still gets its CHANNEL.
QByteArray entry(QtMsgType type, const QString& category, const QString& message,
                 const event_log::ChannelEvent* event);

// The journal's datagram socket, opened at the first entry and never waited on.
class Sender {
public:
    explicit Sender(QByteArray path = kSocket) : path_(std::move(path)) {}
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Whether journald has the entry; false when it is not there, is too busy to take it
    // at once, or the entry is too large for one datagram.
    bool send(const QByteArray& entry);

private:
    QByteArray path_;
    int fd_ = -1;
};

}  // namespace journal
