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
    if (DvrConnected(index) == kFalse) {
        return;
    }
    ChannelCounters& counted = counters_(index);
    ++counted.pieces;
    counted.bytes += text.size();
    counted.lastPieceMs = steadyMs();
    if (shaping_(index).shaper) {
        shapeArrival(index, text);
    } else {
        ForwardToDvr(index, text);
    }
}

void frmKavelin::ForwardToDvr(int index, const QByteArray& text) {
    try {
        tcpClient(index)->SendLine(text);
        if (PrinterOn == 1) {
            PrintText(index, text);
        }
    } catch (const std::exception&) {
        // The send failed or the piece could not be queued for printing. The piece is not
        // retried, and a piece whose send failed is not printed either.
        forwardingFailed(index);
    }
}

void frmKavelin::forwardingFailed(int index) {
    cmdDisconnect_Click(index);
    cmdConnect_Click(index);
}
