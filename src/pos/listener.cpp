#include "app/frmKavelin.h"
#include "serial/serial_line.h"
#include "settings/setting_numbers.h"

void frmKavelin::StartListening(int index) {
    Winsock* pos = tcpServer(index);
    Channel& row = channel(index);
    if (row.terminalOnSerial()) {
        // The line is opened once and kept open; its own signals paint the label.
        if (row.keysRead()) {
            row.printerLine.terminalSerial->start();
        }
        return;
    }
    // With a printer behind it the row listens from Connect on, and its DVR coming up does
    // not disturb a till that is printing.
    if (row.servesWithoutDvr() &&
        (pos->State() == Winsock::sckListening || pos->State() == Winsock::sckConnected)) {
        return;
    }
    pos->Close();
    const QString portText = txtPortOpen(index)->text();
    const std::optional<int> port = setting_numbers::listenPortNumber(portText);
    // A typo in the list must never open the channel to everyone, nor one in a shaping key
    // let card numbers through: the row stays closed.
    if (port && row.keysRead()) {
        pos->LocalPort(*port);
        pos->Listen();
    }
    if (pos->State() == Winsock::sckListening) {
        row.listening();
        paintLabel(lbPCStatus(index), QStringLiteral("Listening"), look::kYellow, look::kBlack);
        row.announceAllowList();
    } else {
        // Not a number, out of range, taken or not ours to open: say plainly that nobody
        // can connect here, and why.
        paintLabel(lbPCStatus(index), QStringLiteral("Closed"), look::kRed, look::kWhite);
        if (row.keysRead()) {
            reportListenFailure(
                index, portText,
                port ? listenFailureCause(*pos) : QStringLiteral("not a port number"));
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
    if (channel(index).firstListenFailure(portText + QLatin1Char('\n') + cause)) {
        warn(QStringLiteral("POS %1: cannot listen for the terminal on port %2: %3.\r\n")
                 .arg(index)
                 .arg(portText, cause),
             QString(), MsgIcon::Exclamation);
    }
}

void frmKavelin::tcpServer_ConnectionRequest(int index, qint32 requestId) {
    const QHostAddress peer = tcpServer(index)->RequestPeerAddress(requestId);
    if (!channel(index).admits(peer)) {
        // Left unaccepted: the socket turns it away, and the port keeps listening.
        return;
    }
    if (tcpServer(index)->State() != Winsock::sckClosed) {
        tcpServer(index)->Close();
    }
    tcpServer(index)->Accept(requestId);
    PosConnected(index) = kTrue;
    paintLabel(lbPCStatus(index), QStringLiteral("Connected"), look::kGreen, look::kBlack);
    channel(index).startSession(tcpServer(index)->PeerName());
    openPrinterFor(index);
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
    if (channel(index).handingOver()) {
        finishHandover(index);
        return;
    }
    StartListening(index);
}

void frmKavelin::endTerminalSession(int index, const char* how) {
    endShaping(index);
    closePrinterFor(index);
    channel(index).endSession(how);
}
