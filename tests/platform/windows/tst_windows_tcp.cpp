#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "platform/winsock.h"

namespace {

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Everything the peer sends until it closes, within the bound. The loop keeps running, as
// the sender writes from it.
QByteArray readToEnd(QTcpSocket* peer) {
    QByteArray all;
    QDeadlineTimer bound(5000);
    while (!bound.hasExpired() && peer->state() == QAbstractSocket::ConnectedState) {
        QTest::qWait(10);
        all += peer->readAll();
    }
    return all + peer->readAll();
}

}  // namespace

// The Windows sockets beneath Winsock, checked through the facade on 127.0.0.1.
class TestWindowsTcp : public QObject {
    Q_OBJECT
private slots:
    void refusedDialIsReportedFromTheLoop() {
        Winsock dvr;
        dvr.RemoteHost("127.0.0.1");
        dvr.RemotePort(freePort());
        QSignalSpy errors(&dvr, &Winsock::error);
        dvr.Connect();
        QCOMPARE(errors.count(), 0);
        QVERIFY(errors.wait(5000));
        QCOMPARE(dvr.State(), int(Winsock::sckError));
    }

    void pieceSentJustBeforeCloseArrives() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Winsock dvr;
        dvr.RemoteHost("127.0.0.1");
        dvr.RemotePort(server.serverPort());
        QSignalSpy connected(&dvr, &Winsock::connected);
        dvr.Connect();
        QVERIFY(connected.wait(5000));
        QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(3000));
        QTcpSocket* peer = server.nextPendingConnection();
        const QByteArray big(300 * 1024, 'x');
        dvr.SendLine("first");
        dvr.SendData(big);
        dvr.Close();
        QCOMPARE(readToEnd(peer), "first\r\n" + big);
        QTRY_COMPARE_WITH_TIMEOUT(Winsock::Lingering(), 0, 5000);
    }

    void terminalTextBeforeItsCloseIsHandedOver() {
        Winsock pos;
        pos.setListenAddress(QHostAddress::LocalHost);
        const quint16 port = freePort();
        pos.LocalPort(port);
        pos.Listen();
        QCOMPARE(pos.State(), int(Winsock::sckListening));
        connect(&pos, &Winsock::connectionRequest, &pos, [&pos](qint32 id) {
            pos.Close();
            pos.Accept(id);
        });
        QByteArray received;
        pos.onDataArrival([&pos, &received](qint32) {
            QByteArray piece;
            pos.GetData(piece);
            received += piece;
        });
        QSignalSpy closed(&pos, &Winsock::closed);
        QTcpSocket terminal;
        terminal.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(terminal.waitForConnected(3000));
        terminal.write("receipt 1\r\n");
        terminal.disconnectFromHost();
        QVERIFY(closed.wait(5000));
        QCOMPARE(received, QByteArray("receipt 1\r\n"));
    }

    void portInUseSaysSo() {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        Winsock pos;
        pos.setListenAddress(QHostAddress::LocalHost);
        pos.LocalPort(holder.serverPort());
        pos.Listen();
        QCOMPARE(pos.State(), int(Winsock::sckClosed));
        QCOMPARE(pos.ListenFailure(), TcpListener::Failure::InUse);
    }
};

QTEST_GUILESS_MAIN(TestWindowsTcp)
#include "tst_windows_tcp.moc"
