#include "app/frmKavelin.h"

void frmKavelin::StartListening(int index) {
    Winsock* pos = tcpServer(index);
    pos->Close();
    bool isNumber = false;
    const int port = txtPortOpen(index)->text().trimmed().toInt(&isNumber, 10);
    if (isNumber) {
        pos->LocalPort(port);
        pos->Listen();
    }
    if (pos->State() == Winsock::sckListening) {
        paintLabel(lbPCStatus(index), QStringLiteral("Listening"), look::kYellow, look::kBlack);
    } else {
        // Not a number, out of range or taken: say plainly that nobody can connect here.
        paintLabel(lbPCStatus(index), QStringLiteral("Closed"), look::kRed, look::kWhite);
    }
}

void frmKavelin::tcpServer_ConnectionRequest(int index, qint32 requestId) {
    if (tcpServer(index)->State() != Winsock::sckClosed) {
        tcpServer(index)->Close();
    }
    tcpServer(index)->Accept(requestId);
    PosConnected(index) = kTrue;
    paintLabel(lbPCStatus(index), QStringLiteral("Connected"), look::kGreen, look::kBlack);
}

void frmKavelin::tcpServer_Close(int index) {
    if (tcpServer(index)->State() != Winsock::sckClosing) {
        return;
    }
    paintLabel(lbPCStatus(index), QStringLiteral("Closed 2"), look::kRed, look::kWhite);
    tcpServer(index)->Close();
    StartListening(index);
}
