#include "app/frmKavelin.h"
#include "platform/ip_address.h"

void frmKavelin::StartListening(int index) {
    Winsock* pos = tcpServer(index);
    pos->Close();
    bool isNumber = false;
    const QString portText = txtPortOpen(index)->text();
    const int port = portText.trimmed().toInt(&isNumber, 10);
    // A typo in the list must never open the channel to everyone, nor one in a shaping key
    // let card numbers through: the row stays closed.
    if (isNumber && rowKeysRead(index)) {
        pos->LocalPort(port);
        pos->Listen();
    }
    if (pos->State() == Winsock::sckListening) {
        listenFailureShown_(index).clear();
        paintLabel(lbPCStatus(index), QStringLiteral("Listening"), look::kYellow, look::kBlack);
        announceAllowList(index);
    } else {
        // Not a number, out of range, taken or not ours to open: say plainly that nobody
        // can connect here, and why.
        paintLabel(lbPCStatus(index), QStringLiteral("Closed"), look::kRed, look::kWhite);
        if (rowKeysRead(index)) {
            reportListenFailure(
                index, portText,
                isNumber ? listenFailureCause(*pos) : QStringLiteral("not a port number"));
        }
    }
    emit bridgeChanged();
}

QString frmKavelin::listenFailureCause(const Winsock& socket) {
    const QString detail = socket.ListenFailureText();
    switch (socket.ListenFailure()) {
        case TcpListener::Failure::PermissionDenied:
            return QStringLiteral(
                       "permission denied: a port below 1024 needs a privilege the "
                       "program does not have (%1)")
                .arg(detail);
        case TcpListener::Failure::InUse:
            return QStringLiteral("in use by another program or channel");
        case TcpListener::Failure::OutOfRange:
            return QStringLiteral("out of range, ports are 1 to 65535");
        case TcpListener::Failure::OutOfDescriptors:
            return QStringLiteral("out of descriptors (%1)").arg(detail);
        default:
            return detail.isEmpty() ? QStringLiteral("unknown reason") : detail;
    }
}

void frmKavelin::reportListenFailure(int index, const QString& portText, const QString& cause) {
    qCWarning(lcPos, "channel %d: cannot listen for the terminal on port \"%s\" (%s)", index,
              qUtf8Printable(portText), qUtf8Printable(cause));
    // Every reconnect of the DVR listens again: the box comes once per row and cause, until
    // the row listens, so a hidden bridge does not pile them up.
    const QString shown = portText + QLatin1Char('\n') + cause;
    if (std::exchange(listenFailureShown_(index), shown) != shown) {
        warn(QStringLiteral("POS %1: cannot listen for the terminal on port %2: %3.\r\n")
                 .arg(index)
                 .arg(portText, cause),
             QString(), MsgIcon::Exclamation);
    }
}

void frmKavelin::tcpServer_ConnectionRequest(int index, qint32 requestId) {
    const QHostAddress peer = tcpServer(index)->RequestPeerAddress(requestId);
    if (!allowed_(index) || !allowed_(index)->allows(peer)) {
        // Left unaccepted: the socket turns it away, and the port keeps listening.
        logRefusal(index, peer);
        return;
    }
    if (tcpServer(index)->State() != Winsock::sckClosed) {
        tcpServer(index)->Close();
    }
    tcpServer(index)->Accept(requestId);
    PosConnected(index) = kTrue;
    paintLabel(lbPCStatus(index), QStringLiteral("Connected"), look::kGreen, look::kBlack);
    const QString terminal = tcpServer(index)->PeerName();
    sessions_(index) = TerminalSession{terminal, 0, 0, steadyMs()};
    event_log::channelLine(
        QtInfoMsg, lcPos(), {index, terminal, event_log::Event::TerminalConnected},
        QStringLiteral("channel %1: terminal %2 connected").arg(index).arg(terminal));
    emit bridgeChanged();
}

void frmKavelin::tcpServer_Close(int index) {
    if (tcpServer(index)->State() != Winsock::sckClosing) {
        return;
    }
    endTerminalSession(index, "gone");
    paintLabel(lbPCStatus(index), QStringLiteral("Closed 2"), look::kRed, look::kWhite);
    tcpServer(index)->Close();
    if (unloaded_) {
        // The terminal has said all it will: its DVR gets the rest and then the end.
        tcpClient(index)->Close();
        return;
    }
    StartListening(index);
}

void frmKavelin::endTerminalSession(int index, const char* how) {
    endShaping(index);
    if (const std::optional<TerminalSession> session = std::exchange(sessions_(index), {})) {
        // Counts only: the text itself is customer data.
        const qint64 lastedMs = steadyMs() - session->startMs;
        event_log::channelLine(
            QtInfoMsg, lcPos(), {index, session->peer, event_log::Event::TerminalGone, lastedMs},
            QStringLiteral("channel %1: terminal %2 %3 after %4, %5 pieces, %6 bytes")
                .arg(QString::number(index), session->peer, QLatin1String(how),
                     spokenDuration(lastedMs), QString::number(session->pieces),
                     QString::number(session->bytes)));
    }
}

void frmKavelin::logRefusal(int index, const QHostAddress& peer) {
    const qint64 now = steadyMs();
    Refusals& r = refusals_(index);
    const QString address = ip_address::plain(peer).toString();
    if (peer != r.peer || now - r.lastLineMs >= 60000) {
        const QString repeats =
            r.unlogged > 0 && peer == r.peer
                ? QStringLiteral(" (%1 more attempts in the last minute)").arg(r.unlogged)
                : QString();
        event_log::channelLine(
            QtWarningMsg, lcPos(), {index, address},
            QStringLiteral("channel %1: refused terminal %2, not in the ALLOW list%3")
                .arg(index)
                .arg(address, repeats));
        r = Refusals{peer, 0, now};
    } else {
        ++r.unlogged;
    }
}
