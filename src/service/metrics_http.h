#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <functional>

class QTcpServer;
class QTcpSocket;
class frmKavelin;

// A scrape endpoint for Prometheus: GET /metrics over HTTP/1.0 or 1.1, one request per
// connection. Any other path is 404, any other method 405. A request head longer than
// kMaxHead or slower than 2 s ends the connection, so a scanner or a stuck
// client costs the bridge nothing that lasts.
class MetricsHttp : public QObject {
    Q_OBJECT
public:
    using BodyFn = std::function<QByteArray()>;

    static constexpr int kMaxHead = 8192;

    explicit MetricsHttp(BodyFn body, QObject* parent = nullptr);

    // False, with one log line, when the address cannot be listened on.
    bool listen(const QHostAddress& address, quint16 port);

private:
    void accept();
    void read(QTcpSocket* client, QByteArray* head);
    QByteArray respond(const QByteArray& head);
    void finish(QTcpSocket* client, const QByteArray& response);

    BodyFn body_;
    QTcpServer* server_ = nullptr;
    int clients_ = 0;
};

// Serves the form's metrics at the [Setup] Metrics= endpoint ("127.0.0.1:9464"); an empty
// setting serves none, and one that does not read gets one log line and none.
void serveMetrics(frmKavelin* form, const QByteArray& setting);
