#include "app/frmKavelin.h"

void frmKavelin::StartListening(int index) {
    Winsock* pos = tcpServer(index);
    pos->Close();
    bool isNumber = false;
    const QString portText = txtPortOpen(index)->text();
    const int port = portText.trimmed().toInt(&isNumber, 10);
    if (isNumber) {
        pos->LocalPort(port);
        pos->Listen();
    }
    if (pos->State() == Winsock::sckListening) {
        paintLabel(lbPCStatus(index), QStringLiteral("Listening"), look::kYellow, look::kBlack);
    } else {
        // Not a number, out of range or taken: say plainly that nobody can connect here.
        paintLabel(lbPCStatus(index), QStringLiteral("Closed"), look::kRed, look::kWhite);
        qCWarning(lcPos, "channel %d: cannot listen for the terminal on port \"%s\" (%s)", index,
                  qUtf8Printable(portText),
                  isNumber ? "in use or out of range" : "not a port number");
    }
    emit bridgeChanged();
}

void frmKavelin::tcpServer_ConnectionRequest(int index, qint32 requestId) {
    if (tcpServer(index)->State() != Winsock::sckClosed) {
        tcpServer(index)->Close();
    }
    tcpServer(index)->Accept(requestId);
    PosConnected(index) = kTrue;
    paintLabel(lbPCStatus(index), QStringLiteral("Connected"), look::kGreen, look::kBlack);
    sessions_(index) = TerminalSession{tcpServer(index)->PeerName()};
    qCInfo(lcPos, "channel %d: terminal %s connected", index,
           qUtf8Printable(sessions_(index)->peer));
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
    if (const std::optional<TerminalSession> session = std::exchange(sessions_(index), {})) {
        // Counts only: the text itself is customer data.
        qCInfo(lcPos, "channel %d: terminal %s %s after %lld pieces, %lld bytes", index,
               qUtf8Printable(session->peer), how, session->pieces, session->bytes);
    }
}
