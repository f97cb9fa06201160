#include "platform/linux/cups_printer.h"

#include <QBuffer>
#include <QFontMetrics>
#include <QLocale>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "platform/linux/cups_ipp.h"
#include "platform/receipt_text.h"

namespace {

using namespace cups_ipp;

// cupsd answers a local client within a few milliseconds. One that has not answered a
// question of the window in this time is hung or overloaded, and the event loop, with
// every channel's forwarding, would be waiting on it.
constexpr int kQueryMs = 150;
// All a document may take when its caller sets no deadline of its own (EndDoc).
constexpr int kEndDocMs = 2000;

// printer-state value for a queue disabled with cupsdisable (RFC 8011).
constexpr int kPrinterStopped = 5;

const char kJobName[] = "poskavelin";

struct QueueState {
    PrinterInfo info;
    int state = 0;
    bool accepting = false;
    QString message;
    QPageSize paper;
};

// The queue's default paper. media-col-default gives the size in hundredths of a
// millimetre; media-default names it (PWG 5101.1, e.g. "na_letter_8.5x11in"). Drivers
// leave one or the other empty (cups-pdf's Letter leaves the name blank), so both are
// read; with neither, the paper of the locale, as a desktop would choose.
QPageSize QueuePaper(ipp_t* response) {
    ipp_attribute_t* width =
        ippFindAttribute(response, "media-col-default/media-size/x-dimension", IPP_TAG_INTEGER);
    ipp_attribute_t* height =
        ippFindAttribute(response, "media-col-default/media-size/y-dimension", IPP_TAG_INTEGER);
    if (width && height && ippGetInteger(width, 0) > 0 && ippGetInteger(height, 0) > 0) {
        return QPageSize(QSizeF(ippGetInteger(width, 0), ippGetInteger(height, 0)) / 100.0,
                         QPageSize::Millimeter, QString(), QPageSize::FuzzyMatch);
    }
    static const QRegularExpression kSize(QStringLiteral("_([0-9.]+)x([0-9.]+)(mm|in)$"));
    const QRegularExpressionMatch size = kSize.match(AttrString(response, "media-default"));
    const QSizeF named(size.captured(1).toDouble(), size.captured(2).toDouble());
    if (size.hasMatch() && !named.isEmpty()) {
        return QPageSize(named, size.captured(3) == u"mm" ? QPageSize::Millimeter : QPageSize::Inch,
                         QString(), QPageSize::FuzzyMatch);
    }
    return QPageSize(QLocale::system().measurementSystem() == QLocale::MetricSystem
                         ? QPageSize::A4
                         : QPageSize::Letter);
}

// Null when the queue does not exist or cannot be asked; *why says which.
std::optional<QueueState> QueryQueue(http_t* http, const Wait& wait, const QString& queue,
                                     QString* why) {
    static const char* const kWanted[] = {
        "printer-name",          "device-uri",    "printer-state",    "printer-is-accepting-jobs",
        "printer-state-message", "media-default", "media-col-default"};
    const Ipp request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 QueueUri(queue).constData());
    ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  std::size(kWanted), nullptr, kWanted);
    const Ipp response = Exchange(http, wait, "/", request.get(), QByteArray(), why);
    if (!response)
        return std::nullopt;
    if (Failed(ippGetStatusCode(response.get()))) {
        *why = StatusMessage(response.get());
        return std::nullopt;
    }

    QueueState result;
    result.info.DeviceName = AttrString(response.get(), "printer-name");
    if (result.info.DeviceName.isEmpty())
        result.info.DeviceName = queue;
    result.info.Port = AttrString(response.get(), "device-uri");
    if (ipp_attribute_t* attr = ippFindAttribute(response.get(), "printer-state", IPP_TAG_ENUM))
        result.state = ippGetInteger(attr, 0);
    if (ipp_attribute_t* attr =
            ippFindAttribute(response.get(), "printer-is-accepting-jobs", IPP_TAG_BOOLEAN))
        result.accepting = ippGetBoolean(attr, 0) != 0;
    result.message = AttrString(response.get(), "printer-state-message");
    result.paper = QueuePaper(response.get());
    return result;
}

// The default destination as lp finds it, and as cupsGetDefault2 does on Linux before its
// request that no deadline bounds: LPDEST, else PRINTER unless it says "lp", else the
// scheduler's default. A default naming a deleted queue is no printer at all. Null when
// there is no usable default; *why is left empty only when there is none at all.
std::optional<QueueState> DefaultQueue(http_t* http, const Wait& wait, QString* why) {
    QString name;
    if (qEnvironmentVariableIsSet("LPDEST")) {
        name = qEnvironmentVariable("LPDEST");
    } else if (qEnvironmentVariableIsSet("PRINTER") && qEnvironmentVariable("PRINTER") != u"lp") {
        name = qEnvironmentVariable("PRINTER");
    } else {
        const Ipp request = NewRequest(IPP_OP_CUPS_GET_DEFAULT);
        const Ipp response = Exchange(http, wait, "/", request.get(), QByteArray(), why);
        if (!response)
            return std::nullopt;
        // Not-found: the scheduler has no default.
        if (!Failed(ippGetStatusCode(response.get())))
            name = AttrString(response.get(), "printer-name");
    }
    if (name.isEmpty())
        return std::nullopt;
    return QueryQueue(http, wait, name, why);
}

[[noreturn]] void Fail(const QString& what) {
    throw PrintError(what.toStdString());
}

void CheckReady(const QueueState& queue) {
    const QString detail =
        queue.message.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(queue.message);
    // CUPS would queue a job for a stopped printer and keep it until someone enables
    // the queue; the receipt would then come out at some unrelated later time.
    if (queue.state == kPrinterStopped)
        Fail(QStringLiteral("Printer %1 is stopped%2").arg(queue.info.DeviceName, detail));
    if (!queue.accepting)
        Fail(QStringLiteral("Printer %1 is not accepting jobs%2")
                 .arg(queue.info.DeviceName, detail));
}

// Lays the lines out as a PDF on the queue's paper with the writer's default margins, one
// line of the default font after the other, continuing on new pages as needed.
// QPdfWriter, unlike QPrinter, never asks CUPS anything.
QByteArray RenderPdf(const QStringList& lines, const QPageSize& paper) {
    QByteArray pdf;
    QBuffer buffer(&pdf);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    // Without this a Letter or receipt-roll printer would get an A4 page scaled onto it.
    writer.setPageSize(paper);
    writer.setTitle(QString::fromLatin1(kJobName));

    QPainter painter;
    if (!painter.begin(&writer))
        Fail(QStringLiteral("Cannot lay out the document"));
    const QFontMetrics metrics = painter.fontMetrics();
    const int bottom = writer.height();
    int baseline = metrics.ascent();
    for (const QString& line : lines) {
        if (baseline + metrics.descent() > bottom && baseline > metrics.ascent()) {
            writer.newPage();
            baseline = metrics.ascent();
        }
        painter.drawText(0, baseline, line);
        baseline += metrics.lineSpacing();
    }
    if (!painter.end())
        Fail(QStringLiteral("Cannot lay out the document"));
    return pdf;
}

void Submit(http_t* http, const Wait& wait, const QString& queue, const QByteArray& pdf) {
    const Ipp request = NewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 QueueUri(queue).constData());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, kJobName);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/pdf");
    // Print-Job carries the document in the same request, so a failure never leaves
    // an empty job behind as Create-Job + Send-Document can.
    const QByteArray resource = "/printers/" + queue.toUtf8();
    QString why;
    const Ipp response = Exchange(http, wait, resource.constData(), request.get(), pdf, &why);
    if (!response)
        Fail(QStringLiteral("Printer %1 did not take the job: %2").arg(queue, why));
    if (Failed(ippGetStatusCode(response.get())))
        Fail(QStringLiteral("Printer %1 refused the job: %2")
                 .arg(queue, StatusMessage(response.get())));
}

// Runs on the print worker's thread: the paper comes from a question to the queue, and
// the layout takes a few milliseconds; neither may delay the channels on the event loop.
// That is also why the spooler joins its worker before the application object goes.
void PrintDocument(const std::optional<PrinterInfo>& chosen, const QStringList& lines,
                   const PrintLimits& limits) {
    const Wait wait{
        limits.deadline.isForever() ? QDeadlineTimer(kEndDocMs, Qt::PreciseTimer) : limits.deadline,
        limits.abandoned};
    QString why;
    const Http http = Connect(wait, &why);
    if (!http)
        Fail(why);

    std::optional<QueueState> state;
    if (chosen) {
        state = QueryQueue(http.get(), wait, chosen->DeviceName, &why);
        if (!state)
            Fail(QStringLiteral("Printer %1 is not available: %2").arg(chosen->DeviceName, why));
    } else {
        state = DefaultQueue(http.get(), wait, &why);
        if (!state)
            Fail(QStringLiteral("No printer is selected and CUPS has no usable default printer%1")
                     .arg(why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)));
    }
    CheckReady(*state);

    const QByteArray pdf = RenderPdf(lines, state->paper);
    if (wait.over() || (limits.stillWanted && !limits.stillWanted()))
        Fail(QStringLiteral("Printer %1: the document was withdrawn before it was handed over")
                 .arg(state->info.DeviceName));
    Submit(http.get(), wait, state->info.DeviceName, pdf);
}

}  // namespace

QList<PrinterInfo> CupsPrinterServices::Printers() {
    const Wait wait{QDeadlineTimer(kQueryMs, Qt::PreciseTimer), {}};
    QString why;
    const Http http = Connect(wait, &why);
    if (!http)
        return {};

    static const char* const kWanted[] = {"printer-name", "device-uri"};
    const Ipp request = NewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  std::size(kWanted), nullptr, kWanted);
    const Ipp response = Exchange(http.get(), wait, "/", request.get(), QByteArray(), &why);
    // Also covers "no printers", which CUPS reports as not-found.
    if (!response || Failed(ippGetStatusCode(response.get())))
        return {};

    QList<PrinterInfo> printers;
    std::optional<PrinterInfo> current;
    const auto flush = [&] {
        if (current && !current->DeviceName.isEmpty())
            printers.append(*current);
        current.reset();
    };
    for (ipp_attribute_t* attr = ippFirstAttribute(response.get()); attr;
         attr = ippNextAttribute(response.get())) {
        const char* name = ippGetName(attr);
        // An unnamed attribute separates one printer's group from the next.
        if (ippGetGroupTag(attr) != IPP_TAG_PRINTER || !name) {
            flush();
            continue;
        }
        if (!current)
            current.emplace();
        const char* value = ippGetString(attr, 0, nullptr);
        if (!value)
            continue;
        if (std::strcmp(name, "printer-name") == 0)
            current->DeviceName = QString::fromUtf8(value);
        else if (std::strcmp(name, "device-uri") == 0)
            current->Port = QString::fromUtf8(value);
    }
    flush();

    // cupsd already sorts, but the order is part of this class's promise.
    std::stable_sort(printers.begin(), printers.end(),
                     [](const PrinterInfo& a, const PrinterInfo& b) {
                         return a.DeviceName.compare(b.DeviceName, Qt::CaseInsensitive) < 0;
                     });
    return printers;
}

std::optional<PrinterInfo> CupsPrinterServices::Printer() {
    if (chosen_)
        return chosen_;
    const Wait wait{QDeadlineTimer(kQueryMs, Qt::PreciseTimer), {}};
    QString why;
    const Http http = Connect(wait, &why);
    if (!http)
        return std::nullopt;
    const std::optional<QueueState> queue = DefaultQueue(http.get(), wait, &why);
    return queue ? std::optional(queue->info) : std::nullopt;
}

void CupsPrinterServices::SetPrinter(const PrinterInfo& printer) {
    chosen_ = printer;
}

void CupsPrinterServices::PrintLine(const QByteArray& text) {
    appendReceiptLines(receiptText(text), &lines_);
}

PrintJob CupsPrinterServices::takeDocument() {
    // Copies only: the job may run on another thread while SetPrinter changes chosen_.
    return [chosen = chosen_, lines = std::exchange(lines_, QStringList())](
               const PrintLimits& limits) { PrintDocument(chosen, lines, limits); };
}
