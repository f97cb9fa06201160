#include "app/frmKavelin.h"

void frmKavelin::tcpServer_DataArrival(int index, qint32 /*bytesTotal*/) {
    if (PosConnected(index) == kFalse) {
        return;
    }
    QByteArray text;
    tcpServer(index)->GetData(text);
    terminalArrival(index, text);
}

void frmKavelin::terminalArrival(int index, const QByteArray& text) {
    Channel& row = channel(index);
    row.countArrival(text.size());
    tillBytes(index, text);
    if (!dvrTakesCopy(index)) {
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
    if (channel(index).servesWithoutDvr()) {
        // The till and its printer go on; only the DVR link is rebuilt.
        logDvrFailure(index, QStringLiteral("a send failed"));
        DvrConnected(index) = kFalse;
        tcpClient(index)->Close();
        cmdConnect_Click(index);
        return;
    }
    // Not the user's Disconnect: a reload handing the row over still brings it back.
    const bool reconnect = channel(index).handover.reconnect;
    cmdDisconnect_Click(index);
    channel(index).handover.reconnect = reconnect;
    cmdConnect_Click(index);
}
