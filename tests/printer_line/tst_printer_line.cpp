#include <fcntl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>
#include <memory>

#include "bridge.h"
#include "harness.h"

namespace {

const QByteArray kSetup = "[Setup]\r\nHide=1\r\nAutoRun=1\r\n";

// A till's receipt as printers get it: initialise, text, a status poll, a drawer pulse, a cut.
const QByteArray kReceipt =
    "\x1b@TOTAL 12.50\n\x10\x04\x01THANK YOU\n\x1bp\x00\x19\xfa\x1dV\x42\x00"_qba;

// A receipt printer on a raw port: keeps what it was sent and answers DLE EOT 1 as an
// online printer with its drawer open does.
class FakePrinter : public QObject {
public:
    FakePrinter() {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* link = server.nextPendingConnection();
            links.append(link);
            // Bounded, so a printer that stops reading really does push back.
            link->setReadBufferSize(64 * 1024);
            connect(link, &QTcpSocket::readyRead, this, [this, link] {
                if (stalled) {
                    return;
                }
                const QByteArray bytes = link->readAll();
                for (qsizetype at = bytes.indexOf("\x10\x04\x01"); at >= 0;
                     at = bytes.indexOf("\x10\x04\x01", at + 1)) {
                    link->write("\x16");
                }
                received += bytes;
            });
        });
    }
    void resume() {
        stalled = false;
        for (QTcpSocket* link : std::as_const(links)) {
            received += link->readAll();
        }
    }
    quint16 port() const { return server.serverPort(); }

    QTcpServer server;
    QList<QTcpSocket*> links;
    QByteArray received;
    bool stalled = false;
};

// Two pseudo-terminals joined by socat, as a cable joins two serial ports: the bridge opens
// one link, the test the other. Killed when it goes, as a pulled cable.
class PtyPair {
public:
    static bool available() { return !QStandardPaths::findExecutable("socat").isEmpty(); }
    ~PtyPair() { pull(); }
    QString bridgeSide() const { return dir_.filePath("bridge"); }
    QString otherSide() const { return dir_.filePath("other"); }
    bool plug() {
        socat_.start(
            QStandardPaths::findExecutable("socat"),
            {"-d", "pty,raw,echo=0,link=" + bridgeSide(), "pty,raw,echo=0,link=" + otherSide()});
        return QTest::qWaitFor([&] { return QFile::exists(otherSide()); }, 3000);
    }
    void pull() {
        socat_.kill();
        socat_.waitForFinished(3000);
    }

private:
    QTemporaryDir dir_;
    QProcess socat_;
};

QByteArray printerRow(quint16 dvr, quint16 pos, const QByteArray& keys) {
    return row(1, dvr, pos) + keys;
}

}  // namespace

class TestPrinterLine : public QObject {
    Q_OBJECT
private slots:
    // The printer gets the till's bytes exactly, cut and drawer pulse included; the till
    // gets the printer's answer; the DVR gets the shaped copy and never the answer.
    void tillAndPrinterTalkAsBeforeAndTheDvrGetsItsCopy() {
        FakeDvr dvr;
        FakePrinter printer;
        const quint16 pos = freePort();
        Bridge bridge(kSetup +
                      printerRow(dvr.port(), pos,
                                 "RECEIPT_PRINTER=127.0.0.1:" + QByteArray::number(printer.port()) +
                                     "\r\nFILTER=escpos\r\nLINES=1\r\n"));
        bridge.start();
        auto till = terminalOn(pos);
        QVERIFY(till);
        till->write(kReceipt);
        QTRY_COMPARE_WITH_TIMEOUT(printer.received, kReceipt, 3000);
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT(!(answer += till->readAll()).isEmpty(), 3000);
        QCOMPARE(answer, QByteArray("\x16"));
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("TOTAL 12.50\r\nTHANK YOU\r\n"), 3000);
        till->close();
        QTRY_COMPARE_WITH_TIMEOUT(printer.links.first()->state(), QAbstractSocket::UnconnectedState,
                                  3000);
    }

    // A printer that stops reading holds its till back; nothing is lost, and the DVR keeps
    // getting what the till could send.
    void stalledPrinterHoldsTheTillBackAndLosesNothing() {
        FakeDvr dvr;
        FakePrinter printer;
        printer.stalled = true;
        const quint16 pos = freePort();
        Bridge bridge(kSetup + printerRow(dvr.port(), pos,
                                          "RECEIPT_PRINTER=127.0.0.1:" +
                                              QByteArray::number(printer.port()) + "\r\n"));
        bridge.start();
        auto till = terminalOn(pos);
        QVERIFY(till);
        // More than loopback's kernel buffers on both hops can hold (about 10 MB each, grown
        // to that under load), so some of it must wait at the till.
        const QByteArray sent(48 << 20, 'r');
        till->write(sent);
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().size() > (1 << 20), 5000);
        QTest::qWait(300);
        QVERIFY(till->bytesToWrite() > 0);  // held back, not read and dropped
        printer.resume();
        QTRY_COMPARE_WITH_TIMEOUT(printer.received.size(), sent.size(), 20000);
        QCOMPARE(printer.received, sent);
        // The DVR copy kept flowing: whole, unless the till outran a busy DVR link by more
        // than its bound, when the copies dropped are told in the log.
        const auto copied = [&dvr] { return QByteArray(dvr.received()).replace("\r\n", ""); };
        QTRY_VERIFY_WITH_TIMEOUT(
            copied().size() == sent.size() || bridge.log().contains("DVR copies are dropped"),
            5000);
        QVERIFY(copied().size() > (1 << 20) && copied().count('r') == copied().size());
    }

    // A printer that cannot be reached ends the till's connection within 3 s; what it sent
    // still reaches the DVR.
    void unreachablePrinterLetsTheTillGo() {
        FakeDvr dvr;
        const quint16 pos = freePort();
        Bridge bridge(kSetup + printerRow(dvr.port(), pos,
                                          "RECEIPT_PRINTER=127.0.0.1:" +
                                              QByteArray::number(freePort()) + "\r\n"));
        bridge.start();
        auto till = terminalOn(pos);
        QVERIFY(till);
        till->write("before");
        QTRY_COMPARE_WITH_TIMEOUT(till->state(), QAbstractSocket::UnconnectedState, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(dvr.received(), QByteArray("before\r\n"), 3000);
        QVERIFY(bridge.logHas("printer 127.0.0.1:"));
    }

    // With a printer behind it the row takes its till while the DVR is away.
    void tillPrintsWhileTheDvrIsAway() {
        FakePrinter printer;
        const quint16 pos = freePort();
        Bridge bridge(kSetup + printerRow(freePort(), pos,
                                          "RECEIPT_PRINTER=127.0.0.1:" +
                                              QByteArray::number(printer.port()) + "\r\n"));
        bridge.start();
        auto till = terminalOn(pos);
        QVERIFY(till);
        till->write(kReceipt);
        QTRY_COMPARE_WITH_TIMEOUT(printer.received, kReceipt, 3000);
        QVERIFY(bridge.logHas("channel 1: DVR copies are dropped while the DVR link is down"));
    }

    // No printer behind the row: its status requests are answered as a healthy printer's,
    // whatever the segments, and none of them reaches the DVR.
    void statusRequestsAreAnsweredWithoutAPrinter() {
        FakeDvr dvr;
        const quint16 pos = freePort();
        Bridge bridge(kSetup +
                      printerRow(dvr.port(), pos, "PRINTER_STATUS=escpos\r\nFILTER=escpos\r\n"));
        bridge.start();
        auto till = terminalOn(pos);
        QVERIFY(till);
        for (const char* piece : {"\x10", "\x04\x01\x10\x04", "\x02\x10\x04\x03\x10\x04\x04"}) {
            till->write(piece);
            till->flush();
            QTest::qWait(50);
        }
        till->write("SALE\n");
        QByteArray answers;
        QTRY_VERIFY_WITH_TIMEOUT((answers += till->readAll()).size() >= 4, 3000);
        QCOMPARE(answers, QByteArray("\x12\x12\x12\x12"));
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().contains("SALE"), 3000);
        QVERIFY(!dvr.received().contains('\x10'));
    }

    // A terminal on a serial line: its bytes reach the DVR, and a line that goes away and
    // comes back is taken up again.
    void serialTerminalForwardsAndComesBack() {
        if (!PtyPair::available()) {
            QSKIP("socat is not installed");
        }
        PtyPair pair;
        QVERIFY(pair.plug());
        FakeDvr dvr;
        Bridge bridge(kSetup + row(1, dvr.port(), freePort()) +
                      "POS_SERIAL=" + pair.bridgeSide().toUtf8() + "\r\nBAUD=115200\r\n");
        bridge.start();
        QTRY_COMPARE_WITH_TIMEOUT(dvr.connectionCount(), 1, 5000);
        QTest::qWait(300);
        const auto send = [&](const QByteArray& text) {
            QFile till(pair.otherSide());
            QVERIFY(till.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            till.write(text);
        };
        send("first\n");
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().contains("first\n"), 3000);

        pair.pull();
        QVERIFY(bridge.logHas("serial line"));
        QVERIFY(pair.plug());
        QTest::qWait(2500);  // retried every second
        send("again\n");
        QTRY_VERIFY_WITH_TIMEOUT(dvr.received().contains("again\n"), 3000);
    }

    // A DVR that stops reading holds a serial terminal back, as it does a TCP one, instead of
    // the bridge queueing without bound; once it reads again every byte arrives.
    void serialTerminalIsHeldBackByAStalledDvr() {
        if (!PtyPair::available()) {
            QSKIP("socat is not installed");
        }
        PtyPair pair;
        QVERIFY(pair.plug());
        // A DVR that accepts and then reads nothing until told.
        QTcpServer dvrServer;
        QVERIFY(dvrServer.listen(QHostAddress::LocalHost));
        QTcpSocket* dvr = nullptr;
        connect(&dvrServer, &QTcpServer::newConnection, this, [&] {
            dvr = dvrServer.nextPendingConnection();
            dvr->setReadBufferSize(64 * 1024);
        });
        Bridge bridge(kSetup + row(1, dvrServer.serverPort(), freePort()) +
                      "POS_SERIAL=" + pair.bridgeSide().toUtf8() + "\r\nBAUD=115200\r\n");
        bridge.start();
        QTRY_VERIFY_WITH_TIMEOUT(dvr != nullptr, 5000);
        QTest::qWait(300);

        const int till = ::open(QFile::encodeName(pair.otherSide()).constData(),
                                O_WRONLY | O_NOCTTY | O_NONBLOCK);
        QVERIFY(till >= 0);
        // Far more than the DVR link's queue and the kernel's buffers can hold.
        constexpr qint64 kBound = 64 << 20;
        const QByteArray chunk(64 * 1024, 'x');
        qint64 written = 0;
        QElapsedTimer sinceProgress;
        sinceProgress.start();
        while (written < kBound && sinceProgress.elapsed() < 1500) {
            const ssize_t n = ::write(till, chunk.constData(), size_t(chunk.size()));
            if (n > 0) {
                written += n;
                sinceProgress.restart();
            } else {
                QTest::qWait(10);
            }
        }
        ::close(till);
        QVERIFY2(written < kBound, "the till was never held back");

        // Read at full speed now: 64 KiB a poll would take longer than the bound.
        dvr->setReadBufferSize(0);
        qint64 received = 0;
        QTRY_COMPARE_WITH_TIMEOUT(received += dvr->readAll().replace("\r\n", "").size(), written,
                                  20000);
    }

    // A printer on a serial line gets the till's bytes exactly, and its answer reaches the till.
    void serialPrinterRelaysBothWays() {
        if (!PtyPair::available()) {
            QSKIP("socat is not installed");
        }
        PtyPair pair;
        QVERIFY(pair.plug());
        // Non-blocking, as a printer's side only reads what is there.
        const int printer =
            ::open(QFile::encodeName(pair.otherSide()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(printer >= 0);
        FakeDvr dvr;
        const quint16 pos = freePort();
        Bridge bridge(kSetup + printerRow(dvr.port(), pos,
                                          "RECEIPT_PRINTER=serial:" + pair.bridgeSide().toUtf8() +
                                              "\r\nPRINTER_BAUD=115200\r\n"));
        bridge.start();
        auto till = terminalOn(pos);
        QVERIFY(till);
        till->write(kReceipt);
        QByteArray printed;
        QSocketNotifier readable(printer, QSocketNotifier::Read);
        connect(&readable, &QSocketNotifier::activated, this, [&] {
            char buffer[4096];
            const ssize_t n = ::read(printer, buffer, sizeof buffer);
            printed += QByteArray(buffer, n > 0 ? qsizetype(n) : 0);
        });
        QTRY_COMPARE_WITH_TIMEOUT(printed, kReceipt, 5000);
        QCOMPARE(::write(printer, "\x16", 1), ssize_t(1));
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT(!(answer += till->readAll()).isEmpty(), 3000);
        QCOMPARE(answer, QByteArray("\x16"));
        ::close(printer);
    }
};

QTEST_MAIN(TestPrinterLine)
#include "tst_printer_line.moc"
