#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <limits>

#include "dvr/address_checks.h"
#include "harness.h"
#include "platform/winsock.h"

namespace {

// Listens on a free port and, like the window, ends the listening to take the terminal.
quint16 listenAndTakeOver(Winsock& socket) {
    const quint16 port = freePort();
    socket.LocalPort(port);
    socket.Listen();
    QObject::connect(&socket, &Winsock::connectionRequest, &socket, [&socket](qint32 id) {
        socket.Close();
        socket.Accept(id);
    });
    return port;
}

// Dials `socket` to a fresh listener on 127.0.0.1; the listener's end of the link, or
// null when it did not come up within the bound.
QTcpSocket* linkTo(QTcpServer& server, Winsock& socket) {
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        return nullptr;
    }
    socket.RemoteHost("127.0.0.1");
    socket.RemotePort(server.serverPort());
    QSignalSpy connected(&socket, &Winsock::connected);
    socket.Connect();
    if (!connected.wait(3000) ||
        !(server.hasPendingConnections() || server.waitForNewConnection(3000))) {
        return nullptr;
    }
    return server.nextPendingConnection();
}

// Ends the connection with a reset instead of a FIN, as a peer losing power would.
void resetConnection(QAbstractSocket& socket) {
    const linger hard{1, 0};
    ::setsockopt(socket.socketDescriptor(), SOL_SOCKET, SO_LINGER,
                 reinterpret_cast<const char*>(&hard), sizeof hard);
    socket.abort();
}

}  // namespace

// What the window relies on from its socket component, checked on real sockets.
class TestWinsock : public QObject {
    Q_OBJECT
private slots:
    void connectReturnsAtOnceAndReportsLater_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("refused") << "127.0.0.1" << int(freePort());
        QTest::newRow("host name") << "dvr.local" << 80;
        QTest::newRow("port zero") << "127.0.0.1" << 0;
        QTest::newRow("port too big") << "127.0.0.1" << 70000;
    }
    void connectReturnsAtOnceAndReportsLater() {
        QFETCH(QString, host);
        QFETCH(int, port);
        Winsock socket;
        QSignalSpy errors(&socket, &Winsock::error);
        socket.RemoteHost(host);
        socket.RemotePort(port);
        socket.Connect();
        QCOMPARE(errors.size(), 0);  // never inside the call
        QVERIFY(errors.wait(3000));
        QCOMPARE(socket.State(), int(Winsock::sckError));
        socket.Close();
        QCOMPARE(socket.State(), int(Winsock::sckClosed));
    }

    void closeIsAcceptedInEveryState() {
        Winsock socket;
        socket.Close();
        socket.LocalPort(freePort());
        socket.Listen();
        QCOMPARE(socket.State(), int(Winsock::sckListening));
        socket.Close();
        socket.Close();
        socket.RemoteHost("127.0.0.1");
        socket.RemotePort(freePort());
        socket.Connect();
        socket.Close();
        QSignalSpy errors(&socket, &Winsock::error);
        QTest::qWait(200);
        QCOMPARE(errors.size(), 0);  // a closed socket reports nothing of its last attempt
    }

    void listenReportsAtOnceWhetherThePortOpened() {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        Winsock socket;
        socket.LocalPort(holder.serverPort());
        socket.Listen();
        QCOMPARE(socket.State(), int(Winsock::sckClosed));
        QCOMPARE(socket.ListenFailure(), TcpListener::Failure::InUse);
        socket.LocalPort(70000);
        socket.Listen();
        QCOMPARE(socket.State(), int(Winsock::sckClosed));
        QCOMPARE(socket.ListenFailure(), TcpListener::Failure::OutOfRange);
        socket.LocalPort(freePort());
        socket.Listen();
        QCOMPARE(socket.State(), int(Winsock::sckListening));
        QCOMPARE(socket.ListenFailure(), TcpListener::Failure::None);
    }

    void closedListenerStillAcceptsTheRequest() {
        Winsock socket;
        const quint16 port = listenAndTakeOver(socket);
        QSignalSpy arrivals(&socket, &Winsock::dataArrival);
        // The terminal speaks at once: those bytes must not be lost to the hand-over.
        auto terminal = connectTerminal(port);
        QVERIFY(terminal);
        terminal->write("EARLY");
        QTRY_COMPARE_WITH_TIMEOUT(socket.State(), int(Winsock::sckConnected), 3000);
        QVERIFY(arrivals.wait(3000) || arrivals.size() > 0);
        QByteArray data;
        socket.GetData(data);
        QCOMPARE(data, QByteArray("EARLY"));
        QVERIFY(!connectTerminal(port, 300));  // the listener really is closed
    }

    void peerEndIsACloseInClosingState_data() {
        QTest::addColumn<bool>("reset");
        QTest::newRow("orderly") << false;
        QTest::newRow("reset") << true;
    }
    void peerEndIsACloseInClosingState() {
        QFETCH(bool, reset);
        FakeDvr dvr;
        Winsock socket;
        socket.RemoteHost("127.0.0.1");
        socket.RemotePort(dvr.port());
        QSignalSpy connected(&socket, &Winsock::connected);
        socket.Connect();
        QVERIFY(connected.wait(3000));
        QTRY_COMPARE_WITH_TIMEOUT(dvr.connectionCount(), 1, 3000);
        int stateAtClose = -1;
        connect(&socket, &Winsock::closed, this, [&] { stateAtClose = socket.State(); });
        QSignalSpy errors(&socket, &Winsock::error);
        if (reset) {
            resetConnection(*dvr.links_[0]);
        } else {
            dvr.dropLinks();
        }
        QTRY_COMPARE_WITH_TIMEOUT(stateAtClose, int(Winsock::sckClosing), 3000);
        QCOMPARE(errors.size(), 0);
    }

    void lastWordsBeforeAnEndAreDelivered() {
        Winsock socket;
        const quint16 port = listenAndTakeOver(socket);
        QByteArray got;
        bool dataBeforeClose = false;
        connect(&socket, &Winsock::dataArrival, this, [&] {
            QByteArray chunk;
            socket.GetData(chunk);
            got += chunk;
        });
        connect(&socket, &Winsock::closed, this, [&] { dataBeforeClose = got == "BYE"; });
        auto terminal = connectTerminal(port);
        QVERIFY(terminal);
        terminal->write("BYE");
        terminal->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(dataBeforeClose, 3000);
    }

    void anArrivalKeptByTheCallerIsNotOverwritten() {
        // Reads go into one reused buffer that GetData shares: a later read must never
        // write into the text an earlier caller still holds.
        Winsock socket;
        const quint16 port = listenAndTakeOver(socket);
        QList<QByteArray> kept;
        connect(&socket, &Winsock::dataArrival, this, [&] {
            QByteArray chunk;
            socket.GetData(chunk);
            kept.append(chunk);
        });
        auto terminal = connectTerminal(port);
        QVERIFY(terminal);
        terminal->write("FIRST");
        QTRY_COMPARE_WITH_TIMEOUT(kept.size(), 1, 3000);
        terminal->write("SECOND");
        QTRY_COMPARE_WITH_TIMEOUT(kept.size(), 2, 3000);
        QCOMPARE(kept, (QList<QByteArray>{"FIRST", "SECOND"}));
    }

    void aLineTheKernelCannotTakeAtOnceKeepsItsOrder() {
        // Lines far larger than the socket buffers: their tails, CR LF included, queue
        // behind each other and reach the peer whole and in call order, also after Close.
        QTcpServer server;
        Winsock socket;
        QTcpSocket* peer = linkTo(server, socket);
        QVERIFY(peer);
        // Until something queues: how much the kernel takes at once differs by system.
        QByteArray sent;
        for (int n = 0; n < 8 && socket.BytesQueued() == 0; ++n) {
            const QByteArray line(4 << 20, char('A' + n));
            socket.SendLine(line);
            sent += line + "\r\n";
        }
        QVERIFY(socket.BytesQueued() > 0);
        const QByteArray second(3 << 20, 'Z');
        socket.SendLine(second);
        sent += second + "\r\n";
        socket.Close();
        QCOMPARE(Winsock::Lingering(), 1);
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT(
            (got += peer->readAll(),
             peer->state() != QAbstractSocket::ConnectedState && peer->bytesAvailable() == 0),
            10000);
        QVERIFY(got == sent);
        QTRY_COMPARE_WITH_TIMEOUT(Winsock::Lingering(), 0, 3000);
    }

    // A DVR that reset the link: the next sends must not vanish into it. Either one throws
    // or the link is reported closed, and within a bound.
    void aSendOnABrokenLinkTakesTheErrorPath() {
        QTcpServer server;
        Winsock socket;
        QTcpSocket* peer = linkTo(server, socket);
        QVERIFY(peer);
        QSignalSpy closed(&socket, &Winsock::closed);
        resetConnection(*peer);
        bool threw = false;
        for (int attempt = 0; attempt < 50 && !threw && closed.isEmpty(); ++attempt) {
            try {
                socket.SendLine("RECEIPT");
            } catch (const SocketError&) {
                threw = true;
            }
            QTest::qWait(20);
        }
        QVERIFY(threw || !closed.isEmpty());
    }

    void sendOnAnUnconnectedSocketThrows() {
        Winsock socket;
        QVERIFY_THROWS_EXCEPTION(SocketError, socket.SendData("X"));
        QVERIFY_THROWS_EXCEPTION(SocketError, socket.SendLine("X"));
        socket.LocalPort(freePort());
        socket.Listen();
        QVERIFY_THROWS_EXCEPTION(SocketError, socket.SendData("X"));
    }

    void dottedPartsAreDecimalNotOctal_data() {
        QTest::addColumn<QString>("host");
        // Read as octal, 0127 would be 87: nothing answers at 87.0.0.1.
        QTest::newRow("octal-looking") << "0127.000.000.001";
        // Whatever the address check accepts is dialled, however many zeros lead.
        QTest::newRow("long zero runs") << "0000000127.0.0.00000000001";
    }
    void dottedPartsAreDecimalNotOctal() {
        QFETCH(QString, host);
        QVERIFY(IsValidIP(host));
        FakeDvr dvr;
        Winsock socket;
        socket.RemoteHost(host);
        socket.RemotePort(dvr.port());
        QSignalSpy connected(&socket, &Winsock::connected);
        socket.Connect();
        QVERIFY(connected.wait(3000));
        socket.SendData("HELLO");
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("HELLO"), 3000);
    }

    void attemptsAreAtLeastASecondApart() {
        FakeDvr dvr;
        Winsock socket;
        socket.RemoteHost("127.0.0.1");
        socket.RemotePort(dvr.port());
        QSignalSpy connected(&socket, &Winsock::connected);
        QElapsedTimer sinceAttempt;
        sinceAttempt.start();
        socket.Connect();
        QVERIFY(connected.wait(3000));
        QVERIFY(sinceAttempt.elapsed() < 500);  // the first attempt is not held back
        // The spacing is a floor, never cut short by a timer that fires early. Each gap
        // is taken between two handshakes, a fraction of a millisecond after each start.
        for (int round = 0; round < 2; ++round) {
            sinceAttempt.restart();
            socket.Close();
            socket.Connect();
            QVERIFY(connected.wait(3000));
            QVERIFY2(sinceAttempt.elapsed() >= 995,
                     qPrintable(QString::number(sinceAttempt.elapsed())));
        }
        QCOMPARE(dvr.connectionCount(), 3);
    }

    void aSecondConnectReplacesThePacedOne() {
        FakeDvr dvr;
        Winsock socket;
        socket.RemoteHost("127.0.0.1");
        socket.RemotePort(dvr.port());
        QSignalSpy connected(&socket, &Winsock::connected);
        socket.Connect();
        QVERIFY(connected.wait(3000));
        socket.Close();
        socket.Connect();  // held back by the spacing
        QThread::msleep(1100);
        socket.Connect();  // due by now: dials at once
        QTest::qWait(1500);
        QCOMPARE(dvr.connectionCount(), 2);
        QCOMPARE(dvr.liveLinks(), 1);
    }

    // Out of descriptors, a listener cannot take a waiting connection. It must neither spin
    // on it nor stop listening for good: it takes the connection once descriptors are free.
    void aListenerOutOfDescriptorsRestsAndRecovers() {
#ifdef Q_OS_WIN
        QSKIP("Windows has no descriptor limit a test can lower");
#else
        Winsock socket;
        const quint16 port = freePort();
        socket.LocalPort(port);
        socket.Listen();
        QSignalSpy requests(&socket, &Winsock::connectionRequest);
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = 256;
        QVERIFY(client >= 0 && client < 200 && ::setrlimit(RLIMIT_NOFILE, &low) == 0);
        std::vector<int> fillers;
        for (int fd; fillers.size() < 256 && (fd = ::dup(client)) >= 0;) {
            fillers.push_back(fd);
        }
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(client, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        const double before = cpuMs();
        QTest::qWait(300);
        const double spent = cpuMs() - before;
        for (int fd : fillers) {
            ::close(fd);
        }
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY2(spent < 100, qPrintable(QString::number(spent)));
        QCOMPARE(requests.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(requests.count(), 1, 3000);
        ::close(client);
#endif
    }

    void requestIdsWrapInsteadOfOverflowing() {
        QCOMPARE(followingRequestId(1), 2);
        QCOMPARE(followingRequestId(std::numeric_limits<qint32>::max()), 1);
    }

    void queuedBytesGoOutAfterAClose() {
        QTcpServer server;
        Winsock socket;
        QTcpSocket* peer = linkTo(server, socket);
        QVERIFY(peer);
        const QByteArray big(8 << 20, 'R');
        socket.SendData(big);
        socket.Close();
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT(
            (got += peer->readAll(),
             peer->state() != QAbstractSocket::ConnectedState && peer->bytesAvailable() == 0),
            10000);
        QCOMPARE(got.size(), big.size());
    }
};

QTEST_MAIN(TestWinsock)
#include "tst_winsock.moc"
