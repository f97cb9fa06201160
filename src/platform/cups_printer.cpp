#include "platform/cups_printer.h"

#include <arpa/inet.h>
#include <cups/cups.h>

#include <QBuffer>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLocale>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

// cupsd answers a local client within a few milliseconds. One that has not answered a
// question of the window in this time is hung or overloaded, and the event loop, with
// every channel's forwarding, would be waiting on it.
constexpr int kQueryMs = 150;
// All a document may take when its caller sets no deadline of its own (EndDoc).
constexpr int kEndDocMs = 2000;
// Every wait on the scheduler is cut into slices this long; after each one it looks at
// its deadline and at whether its caller still wants it. So a deadline is overrun by at
// most one slice, and a job whose program is ending gives up within one.
constexpr double kSliceSeconds = 0.025;
// httpConnect2 can be cancelled only through a plain int, which the thread that stops a
// job could not set without a data race; so a connection is tried in attempts this long
// instead. A local scheduler accepts or refuses at once, a remote one within a LAN's
// round trip.
constexpr int kAttemptMs = 250;

// printer-state value for a queue disabled with cupsdisable (RFC 8011).
constexpr int kPrinterStopped = 5;

const char kJobName[] = "poskavelin";

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};
struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
struct AddrListFree {
    void operator()(http_addrlist_t* list) const { httpAddrFreeList(list); }
};
using Http = std::unique_ptr<http_t, HttpClose>;
using Ipp = std::unique_ptr<ipp_t, IppDelete>;
using AddrList = std::unique_ptr<http_addrlist_t, AddrListFree>;

// How long one call may wait on the scheduler, all its steps together, and whether its
// caller still wants the answer. A connection keeps a pointer to it, so it must outlive
// the connection.
struct Wait {
    QDeadlineTimer deadline;
    std::function<bool()> abandoned;

    bool over() const { return deadline.hasExpired() || (abandoned && abandoned()); }
    int remainingMs() const { return int(std::max<qint64>(deadline.remainingTime(), 1)); }
};

// Asked by libcups each time a slice of a read or write passes without progress; 0
// fails the read or write.
int KeepWaiting(http_t*, void* wait) {
    return static_cast<const Wait*>(wait)->over() ? 0 : 1;
}

bool Failed(ipp_status_t status) {
    return status >= IPP_STATUS_REDIRECTION_OTHER_SITE;
}

// The server's addresses, or null when the name did not resolve in time. getaddrinfo
// has no time limit of its own and cannot be interrupted, and a resolver that gets no
// answer retries for tens of seconds (resolv.conf's timeout times attempts times
// servers). So the lookup runs on a helper thread that is left to finish alone when the
// caller stops waiting; that costs one idle thread for a while, where httpConnect2's own
// lookup would hold the caller for all of it. A numeric address, "localhost" (which
// libcups answers itself) or a local socket path resolves at once, without the resolver,
// so needs no thread: a bridge that never starts one makes every socket call of the C
// library cheaper.
AddrList LookUp(const std::string& host, int port, const Wait& wait) {
    in6_addr numeric{};
    if (host.starts_with('/') || qstricmp(host.c_str(), "localhost") == 0 ||
        ::inet_pton(AF_INET, host.c_str(), &numeric) == 1 ||
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
    const std::chrono::duration<double> slice(kSliceSeconds);
    while (!lookup->done.wait_for(lock, slice, [&] { return lookup->finished; })) {
        if (wait.over()) {
            lookup->abandoned = true;
            return nullptr;
        }
    }
    return AddrList(lookup->result);
}

// A private connection instead of libcups' shared default one, whose connect and
// reconnect waits are 30 s. Null when the scheduler cannot be reached; *why says why.
Http Connect(const Wait& wait, QString* why) {
    const std::string host = cupsServer();
    const AddrList addresses = LookUp(host, ippPort(), wait);
    if (!addresses) {
        *why = QStringLiteral("CUPS server name %1 did not resolve in time")
                   .arg(QString::fromStdString(host));
        return nullptr;
    }
    for (;;) {
        const int attemptMs = std::min(wait.remainingMs(), kAttemptMs);
        QElapsedTimer attempt;
        attempt.start();
        // Given the addresses, libcups keeps a copy and never looks the name up itself.
        Http http(httpConnect2(host.c_str(), ippPort(), addresses.get(), AF_UNSPEC,
                               cupsEncryption(), 1, attemptMs, nullptr));
        if (http) {
            httpSetTimeout(http.get(), kSliceSeconds, KeepWaiting, const_cast<Wait*>(&wait));
            return http;
        }
        // A refusal comes at once, and trying again would not change it. (libcups'
        // clean-up overwrites errno, so there is no finer reason to give.)
        if (attempt.elapsed() < attemptMs || wait.over()) {
            *why = QStringLiteral("CUPS is not running or not reachable at %1")
                       .arg(QString::fromStdString(host));
            return nullptr;
        }
    }
}

QString AttrString(ipp_t* response, const char* name) {
    ipp_attribute_t* attr = ippFindAttribute(response, name, IPP_TAG_ZERO);
    const char* value = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

// The scheduler's own words for a refusal.
QString StatusMessage(ipp_t* response) {
    const QString message = AttrString(response, "status-message");
    return message.isEmpty() ? QString::fromUtf8(ippErrorString(ippGetStatusCode(response)))
                             : message;
}

QString NoAnswer(http_t* http, const Wait& wait) {
    if (wait.over())
        return QStringLiteral("no answer from CUPS in time");
    const int err = httpError(http);
    return QStringLiteral("no answer from CUPS (%1)")
        .arg(err ? QString::fromUtf8(std::strerror(err)) : QStringLiteral("connection lost"));
}

// Sends one request, with `document` after it, and reads the answer. cupsDoRequest would
// first wait a fixed second, which nothing can cut short, for a "100 Continue" that a hung
// scheduler never sends, and reconnect with 30 s waits; here no Expect header is sent, so
// the body follows the header at once, and every wait is one of the connection's slices.
// Only what the default cupsd policy lets anyone do is asked, so there is no
// authentication to answer. The answer whatever its IPP status; null when there was
// none, *why saying why.
Ipp Exchange(http_t* http, const Wait& wait, const char* resource, ipp_t* request,
             const QByteArray& document, QString* why) {
    // cupsd ends a connection after some answers; libcups would reopen it with a 30 s wait.
    const char* connection = httpGetField(http, HTTP_FIELD_CONNECTION);
    if (connection && qstricmp(connection, "close") == 0 &&
        httpReconnect2(http, std::min(wait.remainingMs(), kAttemptMs), nullptr) != 0) {
        *why = NoAnswer(http, wait);
        return nullptr;
    }
    httpClearFields(http);
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
    httpSetLength(http, ippLength(request) + size_t(document.size()));
    bool sent = httpPost(http, resource) == 0;
    for (ipp_state_t state = IPP_STATE_IDLE; sent && state != IPP_STATE_DATA;) {
        state = ippWrite(http, request);
        sent = state != IPP_STATE_ERROR;
    }
    if (sent && !document.isEmpty())
        sent = httpWrite2(http, document.constData(), size_t(document.size())) == document.size();
    http_status_t status = HTTP_STATUS_ERROR;
    if (sent) {
        do {
            status = httpUpdate(http);
        } while (status == HTTP_STATUS_CONTINUE && httpGetState(http) != HTTP_STATE_WAITING &&
                 !wait.over());
    }
    if (status != HTTP_STATUS_OK) {
        *why =
            status == HTTP_STATUS_ERROR || status == HTTP_STATUS_CONTINUE
                ? NoAnswer(http, wait)
                : QStringLiteral("CUPS answered \"%1\"").arg(QString::fromUtf8(httpStatus(status)));
        return nullptr;
    }
    Ipp response(ippNew());
    for (ipp_state_t state = IPP_STATE_IDLE; state != IPP_STATE_DATA;) {
        state = ippRead(http, response.get());
        if (state == IPP_STATE_ERROR) {
            *why = NoAnswer(http, wait);
            return nullptr;
        }
    }
    if (httpGetState(http) != HTTP_STATE_WAITING)
        httpFlush(http);
    return response;
}

QByteArray QueueUri(const QString& queue) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", queue.toUtf8().constData());
    return uri;
}

Ipp NewRequest(ipp_op_t op) {
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    return Ipp(request);
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
    AppendLines(receiptText(text), &lines_);
}

PrintJob CupsPrinterServices::takeDocument() {
    // Copies only: the job may run on another thread while SetPrinter changes chosen_.
    return [chosen = chosen_, lines = std::exchange(lines_, QStringList())](
               const PrintLimits& limits) { PrintDocument(chosen, lines, limits); };
}
