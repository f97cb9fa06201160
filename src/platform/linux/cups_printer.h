#pragma once

#include <QStringList>

#include "platform/printer_services.h"

// Printing through the local CUPS scheduler. Queues are read from the scheduler on
// every call, so printers added or removed while the program runs show up at once.
// Each document is laid out as a PDF with Qt and handed to CUPS as one job; EndDoc
// returns as soon as the scheduler has accepted it, not when the paper comes out.
//
// Every exchange with the scheduler runs on its own connection, and every wait in it
// (name lookup, connect, each read and write) ends at the call's deadline: Printers and
// Printer give up after 150 ms, so a stopped or hung cupsd costs the calling (GUI)
// thread no more than that per call; a job gives up at its limits' deadline, or once
// its limits say it is abandoned: within 25 ms, or 250 ms while it connects. Nothing
// here goes through libcups' shared connection, its blocking request helpers, or Qt's
// printer classes (which use both), so jobs can run on another thread.
//
// Needs a QGuiApplication (fonts and painting) for as long as a job may run.
class CupsPrinterServices : public PrinterServices {
public:
    // Queues (printers and classes) sorted by name; lpoptions instances ("queue/x")
    // are not queues and are left out. Empty when the scheduler cannot be reached.
    QList<PrinterInfo> Printers() override;
    // The printer chosen with SetPrinter, else the CUPS default destination (LPDEST /
    // PRINTER, then the scheduler's default) when that queue exists.
    std::optional<PrinterInfo> Printer() override;
    void SetPrinter(const PrinterInfo& printer) override;
    // The bytes are receipt text, decoded by receiptText. Line breaks inside them (CR, LF,
    // CR LF, VT, FF) start new lines on paper; one trailing break is absorbed by the
    // line end PrintLine adds itself. Tabs become spaces, other control characters
    // are dropped.
    void PrintLine(const QByteArray& text) override;
    // The job throws PrintError when there is no current printer, the scheduler is down,
    // the queue is gone, stopped or rejecting jobs, the job is refused, or the limits
    // run out first (without a deadline of the caller's, it has 2 s in all). The document
    // is empty afterwards in every case. A document without lines prints a blank page, on
    // the queue's default paper.
    PrintJob takeDocument() override;

private:
    std::optional<PrinterInfo> chosen_;
    QStringList lines_;
};
