#pragma once

#include <QStringList>

#include "platform/printer_services.h"

// Printing through the Windows spooler with Qt PrintSupport. Printers are read from the
// spooler on every call, so printers added or removed while the program runs show up at once.
// Each document is laid out with QPainter on a QPrinter for the chosen printer and handed to
// the spooler as one job; the job returns once the spooler has it, not when the paper comes
// out. The local spooler answers in milliseconds and its calls cannot be cut short, so the
// limits are looked at between steps: before the job starts and before each page.
class QtPrinterServices : public PrinterServices {
public:
    // Sorted by name.
    QList<PrinterInfo> Printers() override;
    // The printer chosen with SetPrinter, else the system's default printer.
    std::optional<PrinterInfo> Printer() override;
    void SetPrinter(const PrinterInfo& printer) override;
    // The bytes are receipt text, decoded by receiptText and broken into lines by
    // appendReceiptLines.
    void PrintLine(const QByteArray& text) override;
    // The job throws PrintError when there is no current printer, the printer is gone or in
    // error, the spooler refuses the job, or the limits run out first. The document is empty
    // afterwards in every case.
    PrintJob takeDocument() override;

private:
    std::optional<PrinterInfo> chosen_;
    QStringList lines_;
};
