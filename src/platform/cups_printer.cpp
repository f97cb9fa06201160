#include "platform/cups_printer.h"

#include <cups/cups.h>

#include <QDir>
#include <QFontMetrics>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTemporaryFile>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

namespace {

// cupsd answers a local client within milliseconds; anything slower means it is
// hung or overloaded, and the caller is usually the GUI thread. libcups adds its own
// fixed one-second wait for "100 Continue" on a silent server, so a hung cupsd costs
// about 1.5 s per call and a stopped one nothing.
constexpr int kConnectMs = 500;
constexpr double kQueryWaitSeconds = 0.5;
// Uploading the document to a busy scheduler may stall a little longer.
constexpr double kSubmitWaitSeconds = 3.0;

// printer-state value for a queue disabled with cupsdisable (RFC 8011).
constexpr int kPrinterStopped = 5;

const char kJobName[] = "poskavelin";

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};
struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Http = std::unique_ptr<http_t, HttpClose>;
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

// Asked by libcups each time a wait on the connection runs out; 0 fails the read or
// write instead of waiting again (the default wait alone is a minute).
int GiveUp(http_t*, void*) {
    return 0;
}

// Why a request failed: the IPP status message, or the transport error when the
// scheduler never answered (cupsLastErrorString() then only says "Success").
QString RequestError(http_t* http, const ipp_t* response) {
    if (response)
        return QString::fromUtf8(cupsLastErrorString());
    const int err = httpError(http);
    return QStringLiteral("no answer from CUPS (%1)")
        .arg(err ? QString::fromUtf8(std::strerror(err)) : QStringLiteral("connection lost"));
}

bool Failed(ipp_status_t status) {
    return status >= IPP_STATUS_REDIRECTION_OTHER_SITE;
}

// A private connection instead of libcups' shared default one, whose connect and
// reconnect waits are 30 s. Null when the scheduler cannot be reached; *why says why.
Http Connect(double wait_seconds, QString* why) {
    Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                           kConnectMs, nullptr));
    if (!http) {
        // libcups' clean-up overwrites errno, so there is no finer reason to give.
        *why = QStringLiteral("CUPS is not running or not reachable at %1")
                   .arg(QString::fromUtf8(cupsServer()));
        return nullptr;
    }
    httpSetTimeout(http.get(), wait_seconds, GiveUp, nullptr);
    return http;
}

QString AttrString(ipp_t* response, const char* name) {
    ipp_attribute_t* attr = ippFindAttribute(response, name, IPP_TAG_ZERO);
    const char* value = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

QByteArray QueueUri(const QString& queue) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", queue.toUtf8().constData());
    return uri;
}

ipp_t* NewRequest(ipp_op_t op) {
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    return request;
}

struct QueueState {
    PrinterInfo info;
    int state = 0;
    bool accepting = false;
    QString message;
};

// Null when the queue does not exist or cannot be asked; *why says which.
std::optional<QueueState> QueryQueue(http_t* http, const QString& queue, QString* why) {
    static const char* const kWanted[] = {"printer-name", "device-uri", "printer-state",
                                          "printer-is-accepting-jobs", "printer-state-message"};
    ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 QueueUri(queue).constData());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  std::size(kWanted), nullptr, kWanted);
    const Ipp response(cupsDoRequest(http, request, "/"));
    if (!response || Failed(cupsLastError())) {
        *why = RequestError(http, response.get());
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
    return result;
}

std::optional<PrinterInfo> DefaultPrinter(http_t* http) {
    // Honours LPDEST and PRINTER before asking the scheduler, as lp does.
    const char* name = cupsGetDefault2(http);
    if (!name || !*name)
        return std::nullopt;
    // A default naming a deleted queue is no printer at all.
    QString why;
    std::optional<QueueState> queue = QueryQueue(http, QString::fromUtf8(name), &why);
    if (!queue)
        return std::nullopt;
    return queue->info;
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

// Lays the lines out with the printer's default page size and margins, one line of
// the default font after the other, continuing on new pages as needed.
void RenderPdf(const QString& queue, const QStringList& lines, const QString& path) {
    const QPrinterInfo info = QPrinterInfo::printerInfo(queue);
    QPrinter printer(info, QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    // QPrinter starts from the locale's paper, not the queue's: a Letter or receipt-roll
    // printer would otherwise get an A4 page scaled onto it.
    if (info.defaultPageSize().isValid())
        printer.setPageSize(info.defaultPageSize());
    printer.setDocName(QString::fromLatin1(kJobName));

    QPainter painter;
    if (!painter.begin(&printer))
        Fail(QStringLiteral("Cannot create the print file %1").arg(path));
    const QFontMetrics metrics = painter.fontMetrics();
    const int bottom = printer.height();
    int baseline = metrics.ascent();
    for (const QString& line : lines) {
        if (baseline + metrics.descent() > bottom && baseline > metrics.ascent()) {
            printer.newPage();
            baseline = metrics.ascent();
        }
        painter.drawText(0, baseline, line);
        baseline += metrics.lineSpacing();
    }
    if (!painter.end())
        Fail(QStringLiteral("Cannot write the print file %1").arg(path));
}

void Submit(http_t* http, const QString& queue, const QString& path) {
    ipp_t* request = NewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 QueueUri(queue).constData());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, kJobName);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/pdf");
    // Print-Job carries the document in the same request, so a failure never leaves
    // an empty job behind as Create-Job + Send-Document can.
    const QByteArray resource = "/printers/" + queue.toUtf8();
    const Ipp response(cupsDoFileRequest(http, request, resource.constData(),
                                         QFile::encodeName(path).constData()));
    if (!response || Failed(cupsLastError()))
        Fail(QStringLiteral("Printer %1 refused the job: %2")
                 .arg(queue, RequestError(http, response.get())));
}

void AppendLines(const QString& text, QStringList* lines) {
    QString line;
    bool ends_with_break = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        ends_with_break = false;
        switch (c.unicode()) {
            case '\r':
                if (i + 1 < text.size() && text.at(i + 1) == u'\n')
                    ++i;
                [[fallthrough]];
            case '\n':
            case '\v':
            case '\f':
                lines->append(std::exchange(line, QString()));
                ends_with_break = true;
                continue;
            case '\t':
                line.append(QString(8 - line.size() % 8, u' '));
                continue;
            default:
                break;
        }
        // ESC/POS commands and stray NULs would show up as boxes on paper.
        if (c.category() == QChar::Other_Control)
            continue;
        line.append(c);
    }
    if (!ends_with_break)
        lines->append(line);
}

}  // namespace

QList<PrinterInfo> CupsPrinterServices::Printers() {
    QString why;
    const Http http = Connect(kQueryWaitSeconds, &why);
    if (!http)
        return {};

    static const char* const kWanted[] = {"printer-name", "device-uri"};
    ipp_t* request = NewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  std::size(kWanted), nullptr, kWanted);
    const Ipp response(cupsDoRequest(http.get(), request, "/"));
    // Also covers "no printers", which CUPS reports as not-found.
    if (!response || Failed(cupsLastError()))
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
    QString why;
    const Http http = Connect(kQueryWaitSeconds, &why);
    if (!http)
        return std::nullopt;
    return DefaultPrinter(http.get());
}

void CupsPrinterServices::SetPrinter(const PrinterInfo& printer) {
    chosen_ = printer;
}

void CupsPrinterServices::PrintLine(const QByteArray& text) {
    AppendLines(QString::fromUtf8(text), &lines_);
}

void CupsPrinterServices::EndDoc() {
    const QStringList lines = std::exchange(lines_, QStringList());

    QString why;
    const Http http = Connect(kQueryWaitSeconds, &why);
    if (!http)
        Fail(why);

    std::optional<PrinterInfo> target = chosen_ ? chosen_ : DefaultPrinter(http.get());
    if (!target)
        Fail(QStringLiteral("No printer is selected and CUPS has no default printer"));
    const QString queue = target->DeviceName;

    const std::optional<QueueState> state = QueryQueue(http.get(), queue, &why);
    if (!state)
        Fail(QStringLiteral("Printer %1 is not available: %2").arg(queue, why));
    CheckReady(*state);

    QTemporaryFile pdf(QDir::tempPath() + QStringLiteral("/poskavelin-XXXXXX.pdf"));
    if (!pdf.open())
        Fail(QStringLiteral("Cannot create a temporary print file: %1").arg(pdf.errorString()));
    pdf.close();
    RenderPdf(queue, lines, pdf.fileName());
    httpSetTimeout(http.get(), kSubmitWaitSeconds, GiveUp, nullptr);
    Submit(http.get(), queue, pdf.fileName());
}
