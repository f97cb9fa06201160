#include "app/frmKavelin.h"

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
        terminals += sessions_(n) ? 1 : 0;
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
