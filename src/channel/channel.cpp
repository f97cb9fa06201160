#include "channel/channel.h"

#include "platform/ip_address.h"
#include "printer_line/status_responder.h"
#include "shaping/shaper.h"

Channel::Channel(int index, QObject* parent) : QObject(parent), index_(index) {}

Channel::~Channel() = default;

void Channel::startSession(const QString& peer) {
    session_ = TerminalSession{peer, 0, 0, steadyMs()};
    event_log::channelLine(
        QtInfoMsg, lcPos(), {index_, peer, event_log::Event::TerminalConnected},
        QStringLiteral("channel %1: terminal %2 connected").arg(index_).arg(peer));
}

void Channel::countArrival(qsizetype bytes) {
    if (session_) {
        ++session_->pieces;
        session_->bytes += bytes;
    }
}

void Channel::endSession(const char* how) {
    if (const std::optional<TerminalSession> session = std::exchange(session_, {})) {
        // Counts only: the text itself is customer data.
        const qint64 lastedMs = steadyMs() - session->startMs;
        event_log::channelLine(
            QtInfoMsg, lcPos(), {index_, session->peer, event_log::Event::TerminalGone, lastedMs},
            QStringLiteral("channel %1: terminal %2 %3 after %4, %5 pieces, %6 bytes")
                .arg(QString::number(index_), session->peer, QLatin1String(how),
                     spokenDuration(lastedMs), QString::number(session->pieces),
                     QString::number(session->bytes)));
    }
}

void Channel::applyAllowList(const std::optional<AllowList>& list, bool listening) {
    if (list && list != access_.allow) {
        access_.announced = false;
    }
    access_.allow = list;
    if (access_.allow && listening) {
        announceAllowList();
    }
}

void Channel::announceAllowList() {
    if (access_.allow && !std::exchange(access_.announced, true)) {
        qCInfo(lcPos, "channel %d: accepts terminals from %s", index_,
               qUtf8Printable(access_.allow->describe()));
    }
}

bool Channel::admits(const QHostAddress& peer) {
    if (access_.allow && access_.allow->allows(peer)) {
        return true;
    }
    const qint64 now = steadyMs();
    Refusals& r = access_.refusals;
    const QString address = ip_address::plain(peer).toString();
    if (peer != r.peer || now - r.lastLineMs >= 60000) {
        const QString repeats =
            r.unlogged > 0 && peer == r.peer
                ? QStringLiteral(" (%1 more attempts in the last minute)").arg(r.unlogged)
                : QString();
        event_log::channelLine(
            QtWarningMsg, lcPos(), {index_, address},
            QStringLiteral("channel %1: refused terminal %2, not in the ALLOW list%3")
                .arg(index_)
                .arg(address, repeats));
        r = Refusals{peer, 0, now};
    } else {
        ++r.unlogged;
    }
    return false;
}

bool Channel::firstListenFailure(const QString& cause) {
    return std::exchange(access_.listenFailureShown, cause) != cause;
}
