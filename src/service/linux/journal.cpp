#include "service/linux/journal.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QRegularExpression>
#include <cerrno>
#include <cstring>

namespace {

// Fixed for good: saved searches and alerts (`journalctl MESSAGE_ID=...`) name them.
const char* messageId(event_log::Event kind) {
    switch (kind) {
        case event_log::Event::DvrLinkUp:
            return "f5f8d9b6323a46f3aa316eba4628ee1a";
        case event_log::Event::DvrLinkFailed:
            return "e472c0df89af4aaeb5272c3da6610bb6";
        case event_log::Event::TerminalConnected:
            return "7d4aec9243c14d899165be24bf57ac83";
        case event_log::Event::TerminalGone:
            return "4750bfd31d134f288ae471006503ef7f";
        case event_log::Event::Other:
            break;
    }
    return nullptr;
}

void appendField(QByteArray& out, const char* name, const QByteArray& value) {
    out += name;
    if (!value.contains('\n')) {
        out += '=' + value + '\n';
        return;
    }
    // A value with line breaks in it goes with its length, little-endian in 64 bits.
    out += '\n';
    quint64 size = quint64(value.size());
    for (int i = 0; i < 8; ++i, size >>= 8) {
        out += char(size & 0xff);
    }
    out += value + '\n';
}

}  // namespace

namespace journal {

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

QByteArray entry(QtMsgType type, const QString& category, const QString& message,
                 const event_log::ChannelEvent* event) {
    QByteArray out;
    appendField(out, "MESSAGE", category.toUtf8() + ": " + message.toUtf8());
    appendField(out, "PRIORITY", QByteArray::number(priority(type)));
    appendField(out, "SYSLOG_IDENTIFIER", "poskavelin");
    if (!event) {
        static const QRegularExpression channelLine(QStringLiteral("^channel (\\d+): "));
        const QRegularExpressionMatch match = channelLine.match(message);
        if (match.hasMatch()) {
            appendField(out, "CHANNEL", match.captured(1).toLatin1());
        }
        return out;
    }
    if (const char* id = messageId(event->kind)) {
        appendField(out, "MESSAGE_ID", id);
    }
    appendField(out, "CHANNEL", QByteArray::number(event->channel));
    if (!event->peer.isEmpty()) {
        appendField(out, "PEER", event->peer.toUtf8());
    }
    if (event->durationMs >= 0) {
        appendField(out, "DURATION_MS", QByteArray::number(event->durationMs));
    }
    return out;
}

Sender::~Sender() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool Sender::send(const QByteArray& entry) {
    if (fd_ < 0) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) {
            return false;
        }
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path_.size()) >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path_.constData(), size_t(path_.size()));
    // Addressed on every send rather than connected once, so a journald that restarted
    // and bound its socket anew is found again.
    for (;;) {
        const ssize_t n = ::sendto(fd_, entry.constData(), size_t(entry.size()), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (n >= 0 || errno != EINTR) {
            return n == entry.size();
        }
    }
}

}  // namespace journal
