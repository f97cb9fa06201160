#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include "service/event_log.h"

// What the event log asks of the operating system, one file per platform beneath
// service/linux and service/windows. The log's lock is held around every call, so none of
// them may wait on a reader.
namespace event_log::sink {

// Takes stderr as it is now (and, on Linux, the journal at `journalSocket` when stderr is
// its stream) for the lines to come.
void attach(const QByteArray& journalSocket);

// Puts one line where the system wants its lines other than the file.
void write(QtMsgType type, const QString& category, const QString& message,
           const ChannelEvent* event);

// Opens the log file at `path` for appending, emptied first with `truncate`; false with the
// system's words in *why when it cannot be.
bool openFile(QFile& file, const QString& path, bool truncate, QString* why);

}  // namespace event_log::sink

namespace event_log {

// The line as the file and a plain stderr show it: ISO-8601 local time with its offset, the
// level, the category and the message.
QByteArray timestamped(QtMsgType type, const QString& category, const QString& message);

}  // namespace event_log
