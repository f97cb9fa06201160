#include <QtGlobal>
#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <optional>

#include "harness.h"

namespace {

// Brings row i up against the DVR and returns its listening port.
quint16 bringUp(Harness& h, FakeDvr& dvr, int i) {
    const quint16 pos = freePort();
    h.setRow(i, "127.0.0.1", dvr.port(), pos);
    h.w().cmdConnect_Click(i);
    return pos;
}

bool waitListening(Harness& h, int i) {
    return QTest::qWaitFor([&] { return h.w().lbPCStatus(i)->text() == "Listening"; }, 3000);
}

// Brings row i up and connects a terminal to it; null when that did not happen in time.
std::unique_ptr<QTcpSocket> terminalOn(Harness& h, FakeDvr& dvr, int i) {
    return h.openRow(i, dvr.port());
}

#ifdef Q_OS_LINUX
// Takes the privilege of opening ports below the kernel's unprivileged start from this
// thread for as long as it lives, as a unit without capabilities runs; privilegedPort is 0
// when no such port exists here.
struct WithoutBindPrivilege {
    WithoutBindPrivilege() {
        QFile start("/proc/sys/net/ipv4/ip_unprivileged_port_start");
        const int first =
            start.open(QIODevice::ReadOnly) ? start.readAll().trimmed().toInt() : 1024;
        if (first <= 1 || ::syscall(SYS_capget, &header, caps) != 0) {
            return;
        }
        saved = caps[0].effective;
        caps[0].effective &= ~(1u << CAP_NET_BIND_SERVICE);
        if (::syscall(SYS_capset, &header, caps) == 0) {
            privilegedPort = quint16(first - 1);
        }
    }
    ~WithoutBindPrivilege() {
        if (privilegedPort) {
            caps[0].effective = saved;
            ::syscall(SYS_capset, &header, caps);
        }
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    quint32 saved = 0;
    quint16 privilegedPort = 0;
};
#endif

// Ends the connection with a reset instead of a FIN, as a terminal losing power
// mid-connection and coming back would.
void resetConnection(QTcpSocket& socket) {
    const linger hard{1, 0};
#ifdef Q_OS_WIN
    ::setsockopt(SOCKET(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER,
                 reinterpret_cast<const char*>(&hard), sizeof hard);
#else
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
#endif
    socket.abort();
}

}  // namespace

// The POS side of a row: it listens only while the DVR link is up, serves one terminal,
// and passes every arrival on to the DVR with CR LF, byte for byte.
class TestPos : public QObject {
    Q_OBJECT
private slots:
    void listensOnlyWhileLinkIsUpAndServesOneTerminal() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos = freePort();
        h.setRow(1, "127.0.0.1", dvr.port(), pos);
        QVERIFY(!connectTerminal(pos, 500));  // no DVR link yet, nothing listens

        h.w().cmdConnect_Click(1);
        QVERIFY(waitListening(h, 1));
        QCOMPARE(h.w().lbPCStatus(1)->palette().color(QPalette::Window), look::kYellow);
        auto first = connectTerminal(pos);
        QVERIFY(first);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Connected"), 3000);
        QCOMPARE(background(h.w().lbPCStatus(1)), look::kGreen);
        QCOMPARE(textColour(h.w().lbPCStatus(1)), look::kBlack);
        QCOMPARE(h.w().PosConnected(1), frmKavelin::kTrue);

        QVERIFY(!connectTerminal(pos, 500));  // a second terminal finds no listener

        first->disconnectFromHost();
        QVERIFY(waitListening(h, 1));
        QCOMPARE(h.w().PosConnected(1), frmKavelin::kTrue);  // stays set while listening again
        auto second = connectTerminal(pos);
        QVERIFY(second);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(1)->text(), QString("Connected"), 3000);
        second->write("AGAIN");
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("AGAIN\r\n"), 3000);

        h.w().cmdDisconnect_Click(1);
        QCOMPARE(h.w().lbPCStatus(1)->text(), QString("Closed"));
        QTRY_COMPARE_WITH_TIMEOUT(second->state(), QAbstractSocket::UnconnectedState, 3000);
        QVERIFY(!connectTerminal(pos, 500));
    }

    void terminalResetListensAgain() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos = bringUp(h, dvr, 6);
        QVERIFY(waitListening(h, 6));
        for (int round = 0; round < 3; ++round) {
            auto terminal = connectTerminal(pos);
            QVERIFY(terminal);
            QTRY_COMPARE_WITH_TIMEOUT(h.w().lbPCStatus(6)->text(), QString("Connected"), 3000);
            resetConnection(*terminal);
            QVERIFY(waitListening(h, 6));
        }
        auto terminal = connectTerminal(pos);
        QVERIFY(terminal);
        terminal->write("AFTER RESET");
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("AFTER RESET\r\n"), 3000);
    }

    void portThatCannotBeOpenedShowsClosedAndWhy_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("cause");
        QTest::newRow("not a number") << "Disabled"
                                      << "not a port number";
        QTest::newRow("out of range") << "70000"
                                      << "out of range";
        QTest::newRow("taken") << "TAKEN"
                               << "in use";
#ifdef Q_OS_LINUX
        QTest::newRow("privileged") << "PRIVILEGED"
                                    << "permission denied";
#endif
    }
    void portThatCannotBeOpenedShowsClosedAndWhy() {
        QFETCH(QString, port);
        QFETCH(QString, cause);
        Harness h;
        FakeDvr dvr;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
#ifdef Q_OS_LINUX
        std::optional<WithoutBindPrivilege> unprivileged;
        if (port == "PRIVILEGED") {
            unprivileged.emplace();
            if (!unprivileged->privilegedPort) {
                QSKIP("every port may be opened without a privilege here");
            }
            port = QString::number(unprivileged->privilegedPort);
        }
#endif
        h.setRow(2, "127.0.0.1", dvr.port(), 0);
        h.w().txtPortOpen(2)->setText(port == "TAKEN" ? QString::number(holder.serverPort())
                                                      : port);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("channel 2: cannot listen .*" + cause));
        h.w().cmdConnect_Click(2);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(2)->text(), QString("Connected"), 3000);
        QCOMPARE(h.w().lbPCStatus(2)->text(), QString("Closed"));
        QCOMPARE(background(h.w().lbPCStatus(2)), look::kRed);
        QCOMPARE(textColour(h.w().lbPCStatus(2)), look::kWhite);
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.size(), 1, 1000);
        QVERIFY2(h.boxes[0].text.contains(cause), qPrintable(h.boxes[0].text));

        // The DVR's every reconnect listens again; the same failure is not boxed again.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("channel 2: cannot listen"));
        dvr.dropLinks();
        QTRY_COMPARE_WITH_TIMEOUT(dvr.connectionCount(), 2, 4000);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(2)->text(), QString("Connected"), 3000);
        QCOMPARE(h.boxes.size(), 1);
    }

    void forwardsEachArrivalWithCrLf_data() {
        QTest::addColumn<QList<QByteArray>>("arrivals");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("one line") << QList<QByteArray>{"TOTAL 12.50"}
                                  << QByteArray("TOTAL 12.50\r\n");
        QTest::newRow("two arrivals")
            << QList<QByteArray>{"ITEM A", "ITEM B"} << QByteArray("ITEM A\r\nITEM B\r\n");
        QTest::newRow("lines inside")
            << QList<QByteArray>{"L1\r\nL2\r\n"} << QByteArray("L1\r\nL2\r\n\r\n");
        QTest::newRow("split line")
            << QList<QByteArray>{"TOT", "AL 9"} << QByteArray("TOT\r\nAL 9\r\n");
        QByteArray everyByte;
        for (int b = 0; b < 256; ++b) {
            everyByte.append(char(b));
        }
        QTest::newRow("every byte value") << QList<QByteArray>{everyByte} << everyByte + "\r\n";
    }
    void forwardsEachArrivalWithCrLf() {
        QFETCH(QList<QByteArray>, arrivals);
        QFETCH(QByteArray, expected);
        Harness h;
        FakeDvr dvr;
        auto terminal = terminalOn(h, dvr, 3);
        QVERIFY(terminal);
        QByteArray sent;
        for (const QByteArray& arrival : arrivals) {
            terminal->write(arrival);
            sent += arrival + "\r\n";
            // One arrival at a time: wait until the DVR has it before the next is sent.
            QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), sent, 3000);
        }
        QCOMPARE(dvr.received(), expected);
        QCOMPARE(h.w().lbStatus(3)->text(), QString("Connected"));
    }

    void channelsStayApartOnTheSameDvr() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos3 = bringUp(h, dvr, 3);
        QVERIFY(waitListening(h, 3));
        const quint16 pos4 = bringUp(h, dvr, 4);
        QVERIFY(waitListening(h, 4));
        QCOMPARE(dvr.connectionCount(), 2);
        auto t3 = connectTerminal(pos3);
        auto t4 = connectTerminal(pos4);
        QVERIFY(t3 && t4);
        QTRY_VERIFY_WITH_TIMEOUT(h.w().PosConnected(3) && h.w().PosConnected(4), 3000);
        t3->write("THREE");
        t4->write("FOUR");
        QTRY_COMPARE_WITH_TIMEOUT(dvr.receivedOn(0) + dvr.receivedOn(1),
                                  QByteArray("THREE\r\nFOUR\r\n"), 3000);
        QCOMPARE(dvr.receivedOn(0), QByteArray("THREE\r\n"));  // channel 3 linked first
        QCOMPARE(dvr.receivedOn(1), QByteArray("FOUR\r\n"));
    }

    void dataWhileLinkIsDownIsNeverSentLater() {
        Harness h;
        FakeDvr dvr;
        auto terminal = terminalOn(h, dvr, 1);
        QVERIFY(terminal);
        dvr.stop();
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(1)->text(), QString("Connecting"), 3000);
        terminal->write("LOST");
        terminal->waitForBytesWritten(500);
        QTest::qWait(200);
        QVERIFY(dvr.listen());
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(1)->text(), QString("Connected"), 4000);
        QTest::qWait(200);
        QVERIFY(!dvr.received().contains("LOST"));
    }

    void failedSendRebuildsTheChannelOnce() {
        Harness h;
        FakeDvr dvr;
        auto terminal = terminalOn(h, dvr, 7);
        QVERIFY(terminal);
        h.printers.current = PrinterInfo{"Receipts", "usb://x"};
        h.w().PrinterOn = 1;

        // The link went away under a still-set flag, as after an error on a live link.
        h.w().tcpClient(7)->Close();
        terminal->write("NOT SENT");
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(7)->text(), QString("Connecting"), 3000);
        QCOMPARE(h.w().lbPCStatus(7)->text(), QString("Closed"));
        QCOMPARE(h.w().PosConnected(7), 0);
        QCOMPARE(h.w().DvrConnected(7), 0);
        QVERIFY(!h.w().txtIP(7)->isEnabled());
        QVERIFY(!h.w().txtPortOpen(7)->isEnabled());
        QVERIFY(h.printers.jobs().isEmpty());  // a piece that did not go out is not printed
        QTRY_COMPARE_WITH_TIMEOUT(terminal->state(), QAbstractSocket::UnconnectedState, 3000);

        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(7)->text(), QString("Connected"), 3000);
        QCOMPARE(dvr.connectionCount(), 2);
        QVERIFY(!dvr.received().contains("NOT SENT"));
    }

    void failedPrintTakesTheErrorPath() {
        Harness h;
        FakeDvr dvr;
        auto terminal = terminalOn(h, dvr, 2);
        QVERIFY(terminal);
        h.printers.current = PrinterInfo{"Receipts", "usb://x"};
        h.w().PrinterOn = 1;
        terminal->write("PRINTED");
        QTRY_COMPARE_WITH_TIMEOUT(h.printers.jobs(), QList<QByteArray>{"PRINTED"}, 3000);

        h.printers.failing = true;
        terminal->write("PAPER OUT");
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(2)->text(), QString("Connecting"), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().contains("PAPER OUT\r\n"), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(h.w().lbStatus(2)->text(), QString("Connected"), 3000);
    }
};

QTEST_MAIN(TestPos)
#include "tst_pos.moc"
