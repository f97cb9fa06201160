#include "app/frmKavelin.h"
#include "printer/print_spooler.h"

void frmKavelin::fillPrinterList(const QByteArray& savedPrinter) {
    // A reload fills the list anew.
    cboPrinters->clear();
    const QList<PrinterInfo> installed = printers_ ? printers_->Printers() : QList<PrinterInfo>();
    for (const PrinterInfo& printer : installed) {
        if (printer.DeviceName != QLatin1String("Rendering Subsystem")) {
            cboPrinters->addItem(printer.DeviceName);
        }
    }
    cboPrinters->addItem(kNoPrinter);
    // Nothing is chosen until a rule below chooses it.
    cboPrinters->setCurrentIndex(-1);

    if (PrinterOn == 0) {
        cboPrinters->setCurrentIndex(cboPrinters->findText(kNoPrinter, Qt::MatchExactly));
        emit bridgeChanged();
        return;
    }
    const QString saved = QString::fromUtf8(savedPrinter);
    for (const PrinterInfo& printer : installed) {
        if (printer.DeviceName == saved) {
            printers_->SetPrinter(printer);
            break;
        }
    }
    const std::optional<PrinterInfo> current = printers_ ? printers_->Printer() : std::nullopt;
    // With no printer at all the list can only show "No Printer"; PrinterOn keeps its
    // loaded value so that saving does not change the user's choice behind their back.
    const QString shown = current ? current->DeviceName : kNoPrinter;
    cboPrinters->setCurrentIndex(
        cboPrinters->findText(shown, Qt::MatchExactly | Qt::MatchCaseSensitive));
    printerName_ = current ? current->DeviceName : QString();
    emit bridgeChanged();
}

void frmKavelin::cboPrinters_Click() {
    // Choosing an entry changes nothing; only "Set" applies it.
}

void frmKavelin::cmdOK_Click() {
    if (cboPrinters->currentIndex() < 0) {
        return;
    }
    const QString chosen = cboPrinters->itemText(cboPrinters->currentIndex());
    if (chosen == kNoPrinter) {
        warn(QStringLiteral("No Printer set => don't send to printer"), QStringLiteral("Print"),
             MsgIcon::None);
        PrinterOn = 0;
        emit bridgeChanged();
        return;
    }
    if (!printers_) {
        return;
    }
    for (const PrinterInfo& printer : printers_->Printers()) {
        if (printer.DeviceName == chosen) {
            printers_->SetPrinter(printer);
            const PrinterInfo current = printers_->Printer().value_or(printer);
            warn(QStringLiteral("All printing for this application will be sent to the ") +
                     current.DeviceName + QStringLiteral(" printer on ") + current.Port,
                 QStringLiteral("Print"), MsgIcon::None);
            PrinterOn = 1;
            printerName_ = current.DeviceName;
            emit bridgeChanged();
            return;
        }
    }
}

void frmKavelin::PrintText(int index, const QByteArray& text) {
    if (!printers_) {
        throw PrintError("no printing services");
    }
    printers_->PrintLine(text);
    // The job carries the printer that is current now; only the spooler's thread waits
    // on the print server.
    if (!spooler_->enqueue(index, printers_->takeDocument(), text.size())) {
        qCWarning(lcPrint,
                  "channel %d: print queue full (%lld pieces or %lld bytes waiting); "
                  "reconnecting the channel",
                  index, qlonglong(PrintSpooler::kMaxWaitingPieces),
                  qlonglong(PrintSpooler::kMaxWaitingBytes));
        throw PrintError("too much is waiting to print");
    }
}

void frmKavelin::printFailed(int index, const QString& reason) {
    ++channel(index).counters.printFailures;
    qCWarning(lcPrint, "channel %d: printing on %s failed (%s); reconnecting the channel", index,
              qUtf8Printable(printerName_.isEmpty() ? QStringLiteral("the default printer")
                                                    : printerName_),
              qUtf8Printable(reason));
    // The user disconnected the channel after the piece was queued; the error path
    // would connect it again behind their back.
    if (cmdConnect(index)->isEnabled()) {
        return;
    }
    forwardingFailed(index);
}
