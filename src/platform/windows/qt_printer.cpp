#include "platform/windows/qt_printer.h"

#include <windows.h>
#include <winspool.h>
// winspool's ANSI/Unicode switch would rename the services' own SetPrinter.
#undef SetPrinter

#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <algorithm>
#include <utility>
#include <vector>

#include "platform/receipt_text.h"

namespace {

const char kJobName[] = "poskavelin";

[[noreturn]] void fail(const QString& what) {
    throw PrintError(what.toStdString());
}

// Where the spooler sends the printer's jobs ("USB001:", "IP_10.0.0.7"); QPrinterInfo does
// not say. Empty when the spooler will not tell.
QString portOf(const QString& name) {
    HANDLE printer = nullptr;
    std::wstring wide = name.toStdWString();
    if (!::OpenPrinterW(wide.data(), &printer, nullptr)) {
        return {};
    }
    DWORD needed = 0;
    ::GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    QString port;
    if (needed > 0 && ::GetPrinterW(printer, 2, buffer.data(), needed, &needed)) {
        port =
            QString::fromWCharArray(reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())->pPortName);
    }
    ::ClosePrinter(printer);
    return port;
}

PrinterInfo infoOf(const QPrinterInfo& printer) {
    return {printer.printerName(), portOf(printer.printerName())};
}

bool wanted(const PrintLimits& limits) {
    return !limits.deadline.hasExpired() && !(limits.abandoned && limits.abandoned());
}

// Runs on the print worker's thread: QPrinter and QPainter may, and the spooler's calls then
// hold up no channel.
void printDocument(const std::optional<PrinterInfo>& chosen, const QStringList& lines,
                   const PrintLimits& limits) {
    const QString name = chosen ? chosen->DeviceName : QPrinterInfo::defaultPrinterName();
    if (name.isEmpty()) {
        fail(QStringLiteral("No printer is selected and Windows has no default printer"));
    }
    const QPrinterInfo info = QPrinterInfo::printerInfo(name);
    if (info.isNull()) {
        fail(QStringLiteral("Printer %1 is not available").arg(name));
    }
    // The spooler would keep a job for a printer in error and print it at some unrelated
    // later time.
    if (info.state() == QPrinter::Error || info.state() == QPrinter::Aborted) {
        fail(QStringLiteral("Printer %1 is in error").arg(name));
    }
    if (!wanted(limits) || (limits.stillWanted && !limits.stillWanted())) {
        fail(QStringLiteral("Printer %1: the document was withdrawn before it was handed over")
                 .arg(name));
    }
    QPrinter printer(info);
    printer.setDocName(QString::fromLatin1(kJobName));
    // The printer's own default paper, as the driver reports it, not the locale's.
    printer.setPageSize(info.defaultPageSize());
    QPainter painter;
    if (!painter.begin(&printer)) {
        fail(QStringLiteral("Printer %1 did not take the job").arg(name));
    }
    const QFontMetrics metrics = painter.fontMetrics();
    const int bottom = printer.height();
    int baseline = metrics.ascent();
    for (const QString& line : lines) {
        if (baseline + metrics.descent() > bottom && baseline > metrics.ascent()) {
            if (!wanted(limits)) {
                printer.abort();
                fail(QStringLiteral("Printer %1: the document was withdrawn").arg(name));
            }
            printer.newPage();
            baseline = metrics.ascent();
        }
        painter.drawText(0, baseline, line);
        baseline += metrics.lineSpacing();
    }
    if (!painter.end()) {
        fail(QStringLiteral("Printer %1 did not take the job").arg(name));
    }
}

}  // namespace

QList<PrinterInfo> QtPrinterServices::Printers() {
    QList<PrinterInfo> printers;
    for (const QPrinterInfo& printer : QPrinterInfo::availablePrinters()) {
        printers.append(infoOf(printer));
    }
    std::stable_sort(printers.begin(), printers.end(),
                     [](const PrinterInfo& a, const PrinterInfo& b) {
                         return a.DeviceName.compare(b.DeviceName, Qt::CaseInsensitive) < 0;
                     });
    return printers;
}

std::optional<PrinterInfo> QtPrinterServices::Printer() {
    if (chosen_) {
        return chosen_;
    }
    const QPrinterInfo printer = QPrinterInfo::defaultPrinter();
    return printer.isNull() ? std::nullopt : std::optional(infoOf(printer));
}

void QtPrinterServices::SetPrinter(const PrinterInfo& printer) {
    chosen_ = printer;
}

void QtPrinterServices::PrintLine(const QByteArray& text) {
    appendReceiptLines(receiptText(text), &lines_);
}

PrintJob QtPrinterServices::takeDocument() {
    // Copies only: the job may run on another thread while SetPrinter changes chosen_.
    return [chosen = chosen_, lines = std::exchange(lines_, QStringList())](
               const PrintLimits& limits) { printDocument(chosen, lines, limits); };
}
