#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <functional>
#include <optional>
#include <stdexcept>

// What the window uses of the machine's printers: the installed ones, the current
// one, and one job per piece of text. Printing failures are thrown as PrintError so
// the forwarding path can catch them like a failed send.
struct PrinterInfo {
    QString DeviceName;  // the queue name
    QString Port;        // where the queue sends its jobs, e.g. "usb://..."; empty when unknown
};

class PrintError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bounds on handing one document to the spooler, for a caller that must not be held
// up by a slow print server. The defaults leave the services' own short waits.
struct PrintLimits {
    QDeadlineTimer deadline{QDeadlineTimer::Forever};
    // Asked right before the document is handed over; false abandons it unprinted.
    std::function<bool()> stillWanted;
    // Asked, from the job's thread, again and again while the job waits on the print
    // server; once it says true, the job gives up as soon as it can, handed over or not.
    std::function<bool()> abandoned;
};

// One ended document, bound to the printer that was current when it was ended. It owns
// all it needs, so it may run on any thread and outlive the services that made it, but
// it may use QtGui to lay the page out: it must have returned before the application
// object is destroyed. Throws PrintError.
using PrintJob = std::function<void(const PrintLimits&)>;

class PrinterServices {
public:
    virtual ~PrinterServices() = default;

    // Every installed printer once, in the same order on every call.
    virtual QList<PrinterInfo> Printers() = 0;
    // The current output printer: the system default until replaced; none when there is none.
    virtual std::optional<PrinterInfo> Printer() = 0;
    // Makes an element of Printers() the current printer for the rest of the run.
    virtual void SetPrinter(const PrinterInfo& printer) = 0;
    // Adds one text item followed by a line end to the current document.
    virtual void PrintLine(const QByteArray& text) = 0;
    // Ends the document without waiting on anything: the job prints it when it is run.
    virtual PrintJob takeDocument() = 0;
    // Ends the document and hands it to the spooler as one job, here and now; throws
    // PrintError on failure.
    void EndDoc() { takeDocument()(PrintLimits()); }
};
