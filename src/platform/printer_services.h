#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
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
    // Ends the document and hands it to the spooler as one job; throws PrintError on failure.
    virtual void EndDoc() = 0;
};
