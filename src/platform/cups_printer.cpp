#include "platform/cups_printer.h"

#include <arpa/inet.h>
#include <cups/cups.h>

#include <QDir>
#include <QFontMetrics>
#include <QLocale>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

// cupsd answers a local client within milliseconds; anything slower means it is
// hung or overloaded, and the caller is usually the GUI thread. libcups adds its own
// fixed one-second wait for "100 Continue" on a silent server, so a hung cupsd costs
// about 1.5 s per call and a stopped one nothing.
constexpr int kConnectMs = 500;
// A name that the resolver cannot settle in this time is as good as unreachable.
constexpr int kLookupMs = 500;
constexpr double kQueryWaitSeconds = 0.5;
// Uploading the document to a busy scheduler may stall a little longer.
constexpr double kSubmitWaitSeconds = 3.0;
// libcups waits this long for "100 Continue" before it sends a document anyway, on top
// of the connection's own wait.
constexpr double kContinueWaitSeconds = 1.0;

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

struct AddrListFree {
    void operator()(http_addrlist_t* list) const { httpAddrFreeList(list); }
};
using AddrList = std::unique_ptr<http_addrlist_t, AddrListFree>;

// How long one step may wait: its usual limit, or with a deadline all that is left of
// it, so a slow but working server still gets the whole time the caller can give.
int WaitMs(const QDeadlineTimer& deadline, int usual) {
    return deadline.isForever() ? usual : int(std::max<qint64>(deadline.remainingTime(), 1));
}
double WaitSeconds(const QDeadlineTimer& deadline, double usual) {
    return deadline.isForever() ? usual : WaitMs(deadline, 0) / 1000.0;
}

// The server's addresses, or null when the name did not resolve within wait_ms.
// getaddrinfo has no time limit of its own and cannot be interrupted, and a resolver
// that gets no answer retries for tens of seconds (resolv.conf's timeout times attempts
// times servers). So the lookup runs on a helper thread that is left to finish alone
// when the caller stops waiting; that costs one idle thread for a while, where
// httpConnect2's own lookup would hold the caller for all of it. A numeric address or
// a local socket path resolves at once, without the resolver, so needs no thread: a
// bridge that never starts one makes every socket call of the C library cheaper.
AddrList LookUp(const std::string& host, int port, int wait_ms) {
    in6_addr numeric{};
    if (host.starts_with('/') || ::inet_pton(AF_INET, host.c_str(), &numeric) == 1 ||
        ::inet_pton(AF_INET6, host.c_str(), &numeric) == 1) {
        return AddrList(httpAddrGetList(host.c_str(), AF_UNSPEC, std::to_string(port).c_str()));
    }
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        http_addrlist_t* result = nullptr;
    };
    const auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host, port] {
        http_addrlist_t* result =
            httpAddrGetList(host.c_str(), AF_UNSPEC, std::to_string(port).c_str());
        const std::lock_guard lock(lookup->mutex);
        if (lookup->abandoned) {
            httpAddrFreeList(result);
            return;
        }
        lookup->result = result;
        lookup->finished = true;
        lookup->done.notify_one();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(wait_ms),
                               [&] { return lookup->finished; })) {
        lookup->abandoned = true;
        return nullptr;
    }
    return AddrList(lookup->result);
}

// A private connection instead of libcups' shared default one, whose connect and
// reconnect waits are 30 s. Null when the scheduler cannot be reached; *why says why.
Http Connect(const QDeadlineTimer& deadline, double wait_seconds, QString* why) {
    const std::string host = cupsServer();
    const AddrList addresses = LookUp(host, ippPort(), WaitMs(deadline, kLookupMs));
    if (!addresses) {
        *why = QStringLiteral("CUPS server name %1 did not resolve in time")
                   .arg(QString::fromStdString(host));
        return nullptr;
    }
    // Given the addresses, libcups keeps a copy and never looks the name up itself,
    // not even to reconnect.
    Http http(httpConnect2(host.c_str(), ippPort(), addresses.get(), AF_UNSPEC, cupsEncryption(), 1,
                           WaitMs(deadline, kConnectMs), nullptr));
    if (!http) {
        // libcups' clean-up overwrites errno, so there is no finer reason to give.
        *why = QStringLiteral("CUPS is not running or not reachable at %1")
                   .arg(QString::fromStdString(host));
        return nullptr;
    }
    httpSetTimeout(http.get(), WaitSeconds(deadline, wait_seconds), GiveUp, nullptr);
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
std::optional<QueueState> QueryQueue(http_t* http, const QString& queue, QString* why) {
    static const char* const kWanted[] = {
        "printer-name",          "device-uri",    "printer-state",    "printer-is-accepting-jobs",
        "printer-state-message", "media-default", "media-col-default"};
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
    result.paper = QueuePaper(response.get());
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

// Lays the lines out on the queue's paper with the writer's default margins, one line
// of the default font after the other, continuing on new pages as needed. QPdfWriter,
// unlike QPrinter, never asks CUPS anything.
void RenderPdf(const QStringList& lines, const QPageSize& paper, const QString& path) {
    QPdfWriter writer(path);
    // Without this a Letter or receipt-roll printer would get an A4 page scaled onto it.
    writer.setPageSize(paper);
    writer.setTitle(QString::fromLatin1(kJobName));

    QPainter painter;
    if (!painter.begin(&writer))
        Fail(QStringLiteral("Cannot create the print file %1").arg(path));
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

void PrintDocument(const std::optional<PrinterInfo>& chosen, const QStringList& lines,
                   const PrintLimits& limits) {
    QString why;
    const Http http = Connect(limits.deadline, kQueryWaitSeconds, &why);
    if (!http)
        Fail(why);

    std::optional<PrinterInfo> target = chosen ? chosen : DefaultPrinter(http.get());
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
    RenderPdf(lines, state->paper, pdf.fileName());
    if (limits.deadline.hasExpired() || (limits.stillWanted && !limits.stillWanted()))
        Fail(QStringLiteral("Printer %1: the document was withdrawn before it was handed over")
                 .arg(queue));
    // With a deadline, libcups' fixed wait comes out of what is left, so a server that
    // stalls on the upload is given up on when the deadline runs out, not a second later.
    const double submitWait =
        limits.deadline.isForever()
            ? kSubmitWaitSeconds
            : std::max(WaitSeconds(limits.deadline, 0) - kContinueWaitSeconds, 0.1);
    httpSetTimeout(http.get(), submitWait, GiveUp, nullptr);
    Submit(http.get(), queue, pdf.fileName());
}

// Windows-1252's 0x80-0x9F; the five holes stay C1 controls, as Windows decodes them,
// and are then dropped like every other control character.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

QString receiptText(const QByteArray& bytes) {
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8(bytes);
    if (!utf8.hasError())
        return text;
    text.resize(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = uchar(bytes[i]);
        text[i] = QChar(byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte);
    }
    return text;
}

QList<PrinterInfo> CupsPrinterServices::Printers() {
    QString why;
    const Http http = Connect(QDeadlineTimer::Forever, kQueryWaitSeconds, &why);
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
    const Http http = Connect(QDeadlineTimer::Forever, kQueryWaitSeconds, &why);
    if (!http)
        return std::nullopt;
    return DefaultPrinter(http.get());
}

void CupsPrinterServices::SetPrinter(const PrinterInfo& printer) {
    chosen_ = printer;
}

void CupsPrinterServices::PrintLine(const QByteArray& text) {
    AppendLines(receiptText(text), &lines_);
}

PrintJob CupsPrinterServices::takeDocument() {
    // Copies only: the job may run on another thread while SetPrinter changes chosen_.
    return [chosen = chosen_, lines = std::exchange(lines_, QStringList())](
               const PrintLimits& limits) { PrintDocument(chosen, lines, limits); };
}
