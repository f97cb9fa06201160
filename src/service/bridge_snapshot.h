#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// What a running bridge shows its observers (poskavelinctl, the metrics endpoint): the
// state and counters of each channel the user set going. Never any receipt text.
struct ChannelSnapshot {
    int row = 0;
    // "listening", "connected" or "closed"; the peer is empty unless connected.
    QString terminal;
    QString terminalPeer;
    // "connected", "connecting" or "off", and the DVR as "ip:port".
    QString dvr;
    QString dvrAddress;
    // Since the program started: pieces and bytes forwarded to the DVR (as the terminal
    // sent them), DVR link attempts that failed, and pieces whose printing failed.
    qint64 pieces = 0;
    qint64 bytes = 0;
    qint64 dvrFailures = 0;
    qint64 printFailures = 0;
    // Milliseconds since the last piece was forwarded, or -1 for none yet.
    qint64 lastPieceAgeMs = -1;
    // The last DVR link failure's reason; empty when none.
    QString lastError;
    // The till's printer behind the row: "connected", "connecting" or "idle" (no session),
    // with its address or serial line; empty when the row has none.
    QString printer;
    QString printerAddress;
    // Bytes relayed to the printer and back to the till, and DVR copies dropped while the
    // printer path went on without the DVR.
    qint64 bytesToPrinter = 0;
    qint64 bytesFromPrinter = 0;
    qint64 dvrCopiesDropped = 0;
    // What the row's shaping removed (printer commands, in bytes) and each '?' it put in for
    // a character its code page could not show: a wrong CODEPAGE shows here at once.
    qint64 shapingFilteredBytes = 0;
    qint64 shapingReplaced = 0;
};

struct BridgeSnapshot {
    qint64 startTimeUnixMs = 0;
    QString status;  // the STATUS line
    QList<ChannelSnapshot> channels;
};
