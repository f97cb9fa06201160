#include "app/frmKavelin.h"
#include "serial/serial_line.h"
#include "shaping/shaper.h"

QString frmKavelin::StatusLine() const {
    // Counted over the rows the user set going (their Disconnect button is live), so a
    // shop with four channels reads "4/4", not "4/16".
    int wanted = 0;
    int linksUp = 0;
    int terminals = 0;
    for (int n = 1; n <= kChannels; ++n) {
        if (!cmdDisconnect(n)->isEnabled()) {
            continue;
        }
        ++wanted;
        linksUp += tcpClient(n)->State() == Winsock::sckConnected ? 1 : 0;
        terminals += channel(n).session() ? 1 : 0;
    }
    const QString printing = PrinterOn != 1 ? QStringLiteral("printing off")
                             : printerName_.isEmpty()
                                 ? QStringLiteral("printing on, but no printer is available")
                                 : QStringLiteral("printing to ") + printerName_;
    return QStringLiteral("DVR links %1/%2 up, terminals %3/%2 connected, %4")
        .arg(linksUp)
        .arg(wanted)
        .arg(terminals)
        .arg(printing);
}

BridgeSnapshot frmKavelin::Snapshot() const {
    BridgeSnapshot snapshot;
    snapshot.startTimeUnixMs = startTimeUnixMs_;
    snapshot.status = StatusLine();
    const qint64 now = steadyMs();
    for (int n = 1; n <= kChannels; ++n) {
        // The same rows StatusLine counts: those the user set going.
        if (!cmdDisconnect(n)->isEnabled()) {
            continue;
        }
        ChannelSnapshot c;
        c.row = n;
        const Winsock* terminal = tcpServer(n);
        if (const auto& session = channel(n).session()) {
            c.terminal = QStringLiteral("connected");
            c.terminalPeer = session->peer;
        } else {
            c.terminal = terminal->State() == Winsock::sckListening ? QStringLiteral("listening")
                                                                    : QStringLiteral("closed");
        }
        const Winsock* dvr = tcpClient(n);
        c.dvr = dvr->State() == Winsock::sckConnected ? QStringLiteral("connected")
                                                      : QStringLiteral("connecting");
        c.dvrAddress = dvr->RemoteHost() + QLatin1Char(':') + QString::number(dvr->RemotePort());
        const Channel::Counters& counted = channel(n).counters;
        c.pieces = counted.pieces;
        c.bytes = counted.bytes;
        c.dvrFailures = counted.dvrFailures;
        c.printFailures = counted.printFailures;
        c.lastPieceAgeMs = counted.lastPieceMs < 0 ? -1 : now - counted.lastPieceMs;
        c.lastError = counted.lastError;
        const Channel& row = channel(n);
        const Channel::PrinterLine& line = row.printerLine;
        if (row.terminalOnSerial() && !row.session()) {
            c.terminal = line.terminalSerial->isOpen() ? QStringLiteral("listening")
                                                       : QStringLiteral("closed");
            c.terminalPeer = line.options->posSerial->port;
        }
        if (line.printer) {
            const int state = line.printer->State();
            c.printer = state == Winsock::sckConnected    ? QStringLiteral("connected")
                        : state == Winsock::sckConnecting ? QStringLiteral("connecting")
                                                          : QStringLiteral("idle");
            c.printerAddress = line.printer->RemoteHost() + QLatin1Char(':') +
                               QString::number(line.printer->RemotePort());
        } else if (line.printerSerial) {
            c.printer = line.printerSerial->isOpen() ? QStringLiteral("connected")
                                                     : QStringLiteral("connecting");
            c.printerAddress = line.options->printerSerial.port;
        }
        c.bytesToPrinter = line.bytesToPrinter;
        c.bytesFromPrinter = line.bytesFromPrinter;
        c.dvrCopiesDropped = line.dvrCopiesDropped;
        if (const Shaper* shaper = row.shaping.shaper.get()) {
            c.shapingFilteredBytes = shaper->counts().filteredBytes;
            c.shapingReplaced = shaper->counts().replaced;
        }
        snapshot.channels.append(c);
    }
    return snapshot;
}
