#include "service/metrics_http.h"

#include <QTcpServer>
#include <QTcpSocket>

#include "app/frmKavelin.h"
#include "platform/ip_address.h"
#include "service/event_log.h"
#include "service/one_request_clients.h"
#include "service/snapshot_text.h"

namespace {

QByteArray response(const QByteArray& status, const QByteArray& contentType, const QByteArray& body,
                    const QByteArray& extraHeader = QByteArray()) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeader +
           "Connection: close\r\n\r\n" + body;
}

QByteArray plainError(const QByteArray& status) {
    return response(status, "text/plain; charset=utf-8", status + '\n');
}

}  // namespace

MetricsHttp::MetricsHttp(BodyFn body, QObject* parent)
    : QObject(parent), body_(std::move(body)), server_(new QTcpServer(this)) {
    connect(server_, &QTcpServer::newConnection, this, &MetricsHttp::accept);
}

bool MetricsHttp::listen(const QHostAddress& address, quint16 port) {
    const QString where = (address.protocol() == QAbstractSocket::IPv6Protocol
                               ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                               : address.toString()) +
                          QLatin1Char(':') + QString::number(port);
    if (!server_->listen(address, port)) {
        qCWarning(lcService, "no metrics: cannot listen on %s (%s)", qUtf8Printable(where),
                  qUtf8Printable(server_->errorString()));
        return false;
    }
    qCInfo(lcService, "metrics at http://%s/metrics", qUtf8Printable(where));
    return true;
}

void MetricsHttp::accept() {
    one_request_clients::acceptAll(
        this, server_, &clients_, kMaxHead,
        [this](QTcpSocket* client, QByteArray* head) { read(client, head); });
}

void MetricsHttp::read(QTcpSocket* client, QByteArray* head) {
    const qsizetype before = head->size();
    *head += client->read(kMaxHead + 1 - head->size());
    // Search from a little before the new bytes: the blank line may straddle two reads.
    const qsizetype from = std::max<qsizetype>(0, before - 3);
    if (head->indexOf("\r\n\r\n", from) >= 0 || head->indexOf("\n\n", from) >= 0) {
        finish(client, respond(*head));
    } else if (head->size() > kMaxHead) {
        finish(client, plainError("431 Request Header Fields Too Large"));
    }
}

QByteArray MetricsHttp::respond(const QByteArray& head) {
    QByteArray requestLine = head.left(head.indexOf('\n'));
    if (requestLine.endsWith('\r')) {
        requestLine.chop(1);
    }
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || (parts[2] != "HTTP/1.0" && parts[2] != "HTTP/1.1")) {
        return plainError("400 Bad Request");
    }
    if (parts[0] != "GET") {
        return response("405 Method Not Allowed", "text/plain; charset=utf-8",
                        "405 Method Not Allowed\n", "Allow: GET\r\n");
    }
    const qsizetype query = parts[1].indexOf('?');
    const QByteArray path = query < 0 ? parts[1] : parts[1].first(query);
    if (path != "/metrics") {
        return plainError("404 Not Found");
    }
    return response("200 OK", "text/plain; version=0.0.4", body_());
}

void MetricsHttp::finish(QTcpSocket* client, const QByteArray& reply) {
    one_request_clients::answer(this, client, reply);
}

void serveMetrics(frmKavelin* form, const QByteArray& setting) {
    const QString text = QString::fromUtf8(setting).trimmed();
    if (text.isEmpty()) {
        return;
    }
    const auto endpoint = ip_address::parseListenEndpoint(text);
    if (!endpoint) {
        qCWarning(lcService,
                  "no metrics: [Setup] Metrics \"%s\" is not an address:port such as "
                  "127.0.0.1:9464",
                  qUtf8Printable(text));
        return;
    }
    auto* metrics = new MetricsHttp([form] { return prometheusText(form->Snapshot()); }, form);
    if (!metrics->listen(endpoint->first, endpoint->second)) {
        delete metrics;
    }
}
