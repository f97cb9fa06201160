#pragma once

#include <cups/cups.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <algorithm>
#include <functional>
#include <memory>

// One exchange with the CUPS scheduler at a time, on a private connection, with every wait
// (name lookup, connect, each read and write) ending at the caller's deadline or as soon as
// the caller stops wanting the answer.
namespace cups_ipp {

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};
struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Http = std::unique_ptr<http_t, HttpClose>;
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

// How long one call may wait on the scheduler, all its steps together, and whether its
// caller still wants the answer. A connection keeps a pointer to it, so it must outlive
// the connection.
struct Wait {
    QDeadlineTimer deadline;
    std::function<bool()> abandoned;

    bool over() const { return deadline.hasExpired() || (abandoned && abandoned()); }
    int remainingMs() const { return int(std::max<qint64>(deadline.remainingTime(), 1)); }
};

bool Failed(ipp_status_t status);
// A private connection instead of libcups' shared default one, whose connect and
// reconnect waits are 30 s. Null when the scheduler cannot be reached; *why says why.
Http Connect(const Wait& wait, QString* why);
// Sends one request, with `document` after it, and reads the answer, whatever its IPP
// status; null when there was none, *why saying why.
Ipp Exchange(http_t* http, const Wait& wait, const char* resource, ipp_t* request,
             const QByteArray& document, QString* why);
// A request of `op` in the name of this program's user.
Ipp NewRequest(ipp_op_t op);
QByteArray QueueUri(const QString& queue);
// The first value of the named attribute, or an empty string.
QString AttrString(ipp_t* response, const char* name);
// The scheduler's own words for a refusal.
QString StatusMessage(ipp_t* response);

}  // namespace cups_ipp
