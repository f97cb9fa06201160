#include "platform/linux/cups_ipp.h"

#include <arpa/inet.h>

#include <QElapsedTimer>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace cups_ipp {
namespace {

// Every wait on the scheduler is cut into slices this long; after each one it looks at
// its deadline and at whether its caller still wants it. So a deadline is overrun by at
// most one slice, and a job whose program is ending gives up within one.
constexpr double kSliceSeconds = 0.025;
// httpConnect2 can be cancelled only through a plain int, which the thread that stops a
// job could not set without a data race; so a connection is tried in attempts this long
// instead. A local scheduler accepts or refuses at once, a remote one within a LAN's
// round trip.
constexpr int kAttemptMs = 250;

struct AddrListFree {
    void operator()(http_addrlist_t* list) const { httpAddrFreeList(list); }
};
using AddrList = std::unique_ptr<http_addrlist_t, AddrListFree>;

// Asked by libcups each time a slice of a read or write passes without progress; 0
// fails the read or write.
int KeepWaiting(http_t*, void* wait) {
    return static_cast<const Wait*>(wait)->over() ? 0 : 1;
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

QString NoAnswer(http_t* http, const Wait& wait) {
    if (wait.over())
        return QStringLiteral("no answer from CUPS in time");
    const int err = httpError(http);
    return QStringLiteral("no answer from CUPS (%1)")
        .arg(err ? QString::fromUtf8(std::strerror(err)) : QStringLiteral("connection lost"));
}

}  // namespace

bool Failed(ipp_status_t status) {
    return status >= IPP_STATUS_REDIRECTION_OTHER_SITE;
}

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

QString StatusMessage(ipp_t* response) {
    const QString message = AttrString(response, "status-message");
    return message.isEmpty() ? QString::fromUtf8(ippErrorString(ippGetStatusCode(response)))
                             : message;
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

}  // namespace cups_ipp
