#include "app/frmKavelin.h"

void frmKavelin::tcpServer_DataArrival(int index, qint32 /*bytesTotal*/) {
    if (PosConnected(index) == kFalse) {
        return;
    }
    QByteArray text;
    tcpServer(index)->GetData(text);
    if (std::optional<TerminalSession>& session = sessions_(index)) {
        ++session->pieces;
        session->bytes += text.size();
    }
    if (DvrConnected(index) != kFalse) {
        ForwardToDvr(index, text);
    }
}

void frmKavelin::ForwardToDvr(int index, const QByteArray& text) {
    try {
        tcpClient(index)->SendData(text + "\r\n");
        if (PrinterOn == 1) {
            PrintText(text);
        }
    } catch (const std::exception&) {
        // The send or the print failed: rebuild the channel. The piece is not retried,
        // and a piece whose send failed is not printed either.
        cmdDisconnect_Click(index);
        cmdConnect_Click(index);
    }
}
