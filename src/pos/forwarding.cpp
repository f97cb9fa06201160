#include "app/frmKavelin.h"

void frmKavelin::tcpServer_DataArrival(int index, qint32 /*bytesTotal*/) {
    if (PosConnected(index) == kFalse) {
        return;
    }
    QByteArray text;
    tcpServer(index)->GetData(text);
    Channel& row = channel(index);
    row.countArrival(text.size());
    if (DvrConnected(index) == kFalse) {
        return;
    }
    Channel::Counters& counted = row.counters;
    ++counted.pieces;
    counted.bytes += text.size();
    counted.lastPieceMs = steadyMs();
    if (row.shaping.shaper) {
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
    // Not the user's Disconnect: a reload handing the row over still brings it back.
    const bool reconnect = channel(index).handover.reconnect;
    cmdDisconnect_Click(index);
    channel(index).handover.reconnect = reconnect;
    cmdConnect_Click(index);
}
