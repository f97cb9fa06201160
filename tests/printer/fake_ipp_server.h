#pragma once

#include <cups/ipp.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

// A print server on 127.0.0.1 that hangs the way a wedged scheduler does: Silent accepts
// connections and never says a word; AnswerOnce answers the first request with an idle
// queue that accepts jobs, then never again. It runs on its own thread, so it behaves
// the same whatever the test's thread is busy with.
class FakeIppServer {
public:
    enum class Mode { Silent, AnswerOnce };

    explicit FakeIppServer(Mode mode) {
        std::promise<quint16> port;
        thread_ = std::thread([this, mode, &port] { serve(mode, port); });
        port_ = port.get_future().get();
    }
    ~FakeIppServer() {
        stop_ = true;
        thread_.join();
    }
    quint16 port() const { return port_; }

private:
    void serve(Mode mode, std::promise<quint16>& port) {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        port.set_value(server.serverPort());
        std::vector<std::unique_ptr<QTcpSocket>> held;  // open, so clients keep waiting
        bool answered = mode == Mode::Silent;
        while (!stop_) {
            if (server.waitForNewConnection(20))
                held.emplace_back(server.nextPendingConnection());
            if (answered || held.empty() || !held.front()->waitForReadyRead(20))
                continue;
            request_ += held.front()->readAll();
            answered = answer(*held.front());
        }
    }

    // True once the whole request is in and answered.
    bool answer(QTcpSocket& client) {
        const qsizetype headerEnd = request_.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return false;
        const QByteArray header = request_.left(headerEnd).toLower();
        if (header.contains("expect: 100-continue") && !continued_) {
            client.write("HTTP/1.1 100 Continue\r\n\r\n");
            continued_ = true;
        }
        const qsizetype at = header.indexOf("content-length:");
        const qsizetype length =
            at < 0 ? 0 : header.mid(at + 15).split('\r').first().trimmed().toLongLong();
        const QByteArray body = request_.mid(headerEnd + 4);
        if (body.size() < std::max<qsizetype>(length, 8))
            return false;

        ipp_t* response = ippNew();
        ippSetVersion(response, 2, 0);
        ippSetStatusCode(response, IPP_STATUS_OK);
        ippSetRequestId(response, qFromBigEndian<qint32>(body.constData() + 4));
        ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset", nullptr,
                     "utf-8");
        ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_LANGUAGE, "attributes-natural-language",
                     nullptr, "en");
        ippAddString(response, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr,
                     "PosTestPdf");
        ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
        ippAddBoolean(response, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
        QByteArray ipp;
        ippWriteIO(
            &ipp,
            [](void* out, ipp_uchar_t* data, size_t size) -> ssize_t {
                static_cast<QByteArray*>(out)->append(reinterpret_cast<char*>(data), size);
                return ssize_t(size);
            },
            1, nullptr, response);
        ippDelete(response);
        client.write("HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " +
                     QByteArray::number(ipp.size()) + "\r\n\r\n" + ipp);
        client.waitForBytesWritten(1000);
        return true;
    }

    std::thread thread_;
    std::atomic<bool> stop_ = false;
    quint16 port_ = 0;
    QByteArray request_;
    bool continued_ = false;
};
