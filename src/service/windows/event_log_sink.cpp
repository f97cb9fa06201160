#include "service/event_log_sink.h"

#include <QIODevice>
#include <cstdio>

// Windows' side of the event log: stderr as the C library has it, since Windows has no
// journal, and the file opened by Qt.

namespace event_log::sink {

void attach(const QByteArray&) {}

void write(QtMsgType type, const QString& category, const QString& message, const ChannelEvent*) {
    const QByteArray line = timestamped(type, category, message);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

bool openFile(QFile& file, const QString& path, bool truncate, QString* why) {
    file.setFileName(path);
    if (file.open(QIODevice::WriteOnly | (truncate ? QIODevice::Truncate : QIODevice::Append) |
                  QIODevice::Unbuffered)) {
        return true;
    }
    *why = file.errorString();
    return false;
}

}  // namespace event_log::sink
