#include <QSignalSpy>
#include <QTest>

#include "fault_tools.h"
#include "harness.h"

using faults::pumpUntil;

namespace {

// Brings row i up against the DVR and returns its listening port once it listens.
quint16 bringUp(Harness& h, quint16 dvrPort, int i) {
    const quint16 pos = freePort();
    h.setRow(i, "127.0.0.1", dvrPort, pos);
    h.w().cmdConnect_Click(i);
    pumpUntil([&] { return h.w().tcpServer(i)->State() == Winsock::sckListening; }, 3000);
    return pos;
}

bool listening(Harness& h, int i) {
    return h.w().tcpServer(i)->State() == Winsock::sckListening &&
           h.w().lbPCStatus(i)->text() == QLatin1String("Listening");
}

QByteArray withoutLineEnds(QByteArray bytes) {
    bytes.removeIf([](char c) { return c == '\r' || c == '\n'; });
    return bytes;
}

// A till that prints a numbered receipt line every few milliseconds and, like a real
// one, dials again shortly after its connection is taken away.
class StreamingTerminal {
public:
    explicit StreamingTerminal(quint16 port) : port_(port) {
        QObject::connect(&socket_, &QTcpSocket::connected, [this] { sent_.append(QByteArray()); });
        QObject::connect(&tick_, &QTimer::timeout, [this] { step(); });
        tick_.start(5);
        socket_.connectToHost(QHostAddress::LocalHost, port_);
    }
    void stop() { tick_.stop(); }
    bool connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    // What went into each connection, in order; the last one is the current one.
    const QList<QByteArray>& sent() const { return sent_; }
    qint64 bytesToWrite() const { return socket_.bytesToWrite(); }

private:
    void step() {
        if (socket_.state() == QAbstractSocket::ConnectedState && !sent_.isEmpty()) {
            const QByteArray line = QByteArray("LINE ") + QByteArray::number(next_) + "\r\n";
            if (socket_.write(line) == line.size()) {
                sent_.last() += line;
                ++next_;
            }
        } else if (socket_.state() == QAbstractSocket::UnconnectedState && ++idleTicks_ >= 20) {
            idleTicks_ = 0;
            socket_.connectToHost(QHostAddress::LocalHost, port_);
        }
    }

    quint16 port_;
    QTcpSocket socket_;
    QTimer tick_;
    QList<QByteArray> sent_;
    int next_ = 0;
    int idleTicks_ = 0;
};

// A DVR that takes each link and ends it at once, with a FIN or a reset.
class SlammingDvr {
public:
    explicit SlammingDvr(bool reset) {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, reset] {
            while (QTcpSocket* link = server.nextPendingConnection()) {
                ++accepted;
                if (reset) {
                    faults::resetConnection(*link);
                } else {
                    link->disconnectFromHost();
                }
                link->deleteLater();
            }
        });
    }
    QTcpServer server;
    int accepted = 0;
};

}  // namespace

// Faults around a channel: DVRs that vanish, slam the door or stop reading, and
// terminals that reset or churn. Each must leave the channel working and bounded.
class TestFaults : public QObject {
    Q_OBJECT
private slots:
    void dvrRestartMidStreamBringsTheChannelBack() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos = bringUp(h, dvr.port(), 5);
        QVERIFY(listening(h, 5));
        StreamingTerminal terminal(pos);

        constexpr int kRestarts = 2;
        for (int round = 0; round <= kRestarts; ++round) {
            // A fresh link serves a fresh terminal connection, and lines flow on it.
            QVERIFY2(pumpUntil([&] { return h.w().lbPCStatus(5)->text() == "Connected"; }, 4000),
                     qPrintable(h.w().lbPCStatus(5)->text()));
            QCOMPARE(dvr.connectionCount(), round + 1);
            QVERIFY(pumpUntil([&] { return dvr.receivedOn(round).count('\n') >= 20; }, 3000));
            QCOMPARE(terminal.sent().size(), round + 1);
            if (round == kRestarts) {
                break;
            }

            dvr.stop();
            QVERIFY(pumpUntil([&] { return h.w().lbStatus(5)->text() == "Connecting"; }, 3000));
            QCOMPARE(h.w().lbPCStatus(5)->text(), QString("Closed"));
            QCOMPARE(h.w().DvrConnected(5), 0);
            QVERIFY(pumpUntil([&] { return !terminal.connected(); }, 3000));
            // Down for a while: attempts keep failing, the terminal keeps dialling in vain.
            QTest::qWait(1200);
            QCOMPARE(h.w().lbStatus(5)->text(), QString("Connecting"));
            QCOMPARE(h.w().tcpServer(5)->State(), int(Winsock::sckClosed));
            QCOMPARE(terminal.sent().size(), round + 1);

            // What reached the DVR before it went is an unbroken start of what was sent.
            const QByteArray got = withoutLineEnds(dvr.receivedOn(round));
            QVERIFY(withoutLineEnds(terminal.sent().last()).startsWith(got));

            QVERIFY(dvr.listen());  // the same port again
            QVERIFY(pumpUntil([&] { return h.w().lbStatus(5)->text() == "Connected"; }, 4000));
            // Listening again, unless the dialling terminal was already taken on.
            const int posState = h.w().tcpServer(5)->State();
            QVERIFY2(posState == Winsock::sckListening || posState == Winsock::sckConnected,
                     qPrintable(QString::number(posState)));
        }

        // The last connection lost nothing: every line it took reached the last link.
        terminal.stop();
        QVERIFY(pumpUntil([&] { return terminal.bytesToWrite() == 0; }, 3000));
        const QByteArray expected = withoutLineEnds(terminal.sent().last());
        QVERIFY(pumpUntil([&] { return withoutLineEnds(dvr.receivedOn(kRestarts)) == expected; },
                          3000));
        QVERIFY(dvr.receivedOn(kRestarts).startsWith("LINE "));
        QCOMPARE(dvr.connectionCount(), kRestarts + 1);
        QCOMPARE(h.w().lbStatus(5)->text(), QString("Connected"));
        QVERIFY(h.boxes.isEmpty());
    }

    void dvrThatSlamsTheDoorIsRetriedCalmly_data() {
        QTest::addColumn<bool>("reset");
        QTest::newRow("closes with FIN") << false;
        // In one process the reset lands before the window has looked at the finished
        // handshake, as it does on a busy bridge with a real DVR.
        QTest::newRow("closes with reset") << true;
    }
    void dvrThatSlamsTheDoorIsRetriedCalmly() {
        QFETCH(bool, reset);
        Harness h;
        SlammingDvr dvr(reset);
        h.setRow(9, "127.0.0.1", dvr.server.serverPort(), freePort());
        h.w().cmdConnect_Click(9);
        QVERIFY(pumpUntil([&] { return dvr.accepted >= 1; }, 3000));

        const int attemptsBefore = dvr.accepted;
        const double cpuBefore = faults::cpuMilliseconds();
        QElapsedTimer wall;
        wall.start();
        QTest::qWait(5000);
        const double cpuUsed = faults::cpuMilliseconds() - cpuBefore;
        const qint64 elapsed = wall.elapsed();
        const int attempts = dvr.accepted - attemptsBefore;

        // One attempt a second at most, yet it does keep trying.
        const QString measured = QStringLiteral("%1 attempts, %2 ms CPU in %3 ms")
                                     .arg(attempts)
                                     .arg(cpuUsed)
                                     .arg(elapsed);
        QVERIFY2(attempts >= 3 && attempts <= 8, qPrintable(measured));
        QVERIFY2(cpuUsed < 0.10 * double(elapsed), qPrintable(measured));
        const QString status = h.w().lbStatus(9)->text();
        QVERIFY2(status == "Connecting" || status == "Connected", qPrintable(status));
        QVERIFY(h.boxes.isEmpty());

        h.w().cmdDisconnect_Click(9);
        const int attemptsAtStop = dvr.accepted;
        QTest::qWait(1500);
        QCOMPARE(dvr.accepted, attemptsAtStop);
        QCOMPARE(h.w().lbStatus(9)->text(), QString("Not Connected"));
    }

    void terminalResetsListenAgainEachTime() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos = bringUp(h, dvr.port(), 4);
        QVERIFY(listening(h, 4));
        QSignalSpy requests(h.w().tcpServer(4), &Winsock::connectionRequest);
        QSignalSpy ends(h.w().tcpServer(4), &Winsock::closed);

        constexpr int kRounds = 30;
        QByteArray expected;
        for (int round = 0; round < kRounds; ++round) {
            auto terminal = connectTerminal(pos);
            QVERIFY2(terminal, qPrintable(QStringLiteral("round %1").arg(round)));
            switch (round % 3) {
                case 0:  // reset before the window has even taken the connection
                    faults::resetConnection(*terminal);
                    QVERIFY(pumpUntil([&] { return requests.size() == round + 1; }, 3000));
                    break;
                case 1:  // reset while idle on an accepted connection
                    QVERIFY(pumpUntil(
                        [&] {
                            return h.w().PosConnected(4) != 0 &&
                                   h.w().lbPCStatus(4)->text() == "Connected";
                        },
                        3000));
                    faults::resetConnection(*terminal);
                    break;
                default: {  // reset right after a receipt went through
                    const QByteArray receipt = "RECEIPT " + QByteArray::number(round);
                    terminal->write(receipt);
                    expected += receipt + "\r\n";
                    QVERIFY(pumpUntil([&] { return dvr.received() == expected; }, 3000));
                    faults::resetConnection(*terminal);
                    break;
                }
            }
            QVERIFY2(pumpUntil([&] { return ends.size() == round + 1 && listening(h, 4); }, 3000),
                     qPrintable(QStringLiteral("round %1: %2 ends, label %3")
                                    .arg(round)
                                    .arg(ends.size())
                                    .arg(h.w().lbPCStatus(4)->text())));
        }
        QCOMPARE(requests.size(), kRounds);
        // A terminal's reset is its own business: the DVR link was never rebuilt.
        QCOMPARE(dvr.connectionCount(), 1);
        QCOMPARE(h.w().lbStatus(4)->text(), QString("Connected"));

        auto terminal = connectTerminal(pos);
        QVERIFY(terminal);
        terminal->write("AFTER RESETS");
        expected += "AFTER RESETS\r\n";
        QVERIFY(pumpUntil([&] { return dvr.received() == expected; }, 3000));
        QCOMPARE(dvr.received(), expected);
    }

    void thousandTerminalSessionsLeakNothing() {
        Harness h;
        FakeDvr dvr;
        const quint16 pos = bringUp(h, dvr.port(), 12);
        QVERIFY(listening(h, 12));
        Winsock* server = h.w().tcpServer(12);
        QSignalSpy requests(server, &Winsock::connectionRequest);
        QSignalSpy ends(server, &Winsock::closed);

        QByteArray expected;
        // One session: connect, be taken, leave one of three ways, find the port open again.
        auto session = [&](int n) -> bool {
            auto terminal = connectTerminal(pos);
            if (!terminal || !pumpUntil([&] { return requests.size() == n + 1; }, 3000)) {
                return false;
            }
            switch (n % 3) {
                case 0:
                    terminal->disconnectFromHost();
                    break;
                case 1:
                    faults::resetConnection(*terminal);
                    break;
                default: {
                    const QByteArray last = "BYE " + QByteArray::number(n);
                    terminal->write(last);
                    terminal->flush();
                    terminal->disconnectFromHost();
                    expected += last + "\r\n";
                    break;
                }
            }
            terminal.reset();
            return pumpUntil([&] { return ends.size() == n + 1 && listening(h, 12); }, 3000);
        };

        // Qt and the kernel set up some things on first use; count after that.
        constexpr int kWarmUp = 30;
        constexpr int kSessions = 1000;
        for (int n = 0; n < kWarmUp; ++n) {
            QVERIFY2(session(n), qPrintable(QStringLiteral("session %1").arg(n)));
        }
        QTest::qWait(100);
        const int descriptorsBefore = faults::openDescriptors();
        QVERIFY(descriptorsBefore > 0);

        QElapsedTimer clock;
        clock.start();
        for (int n = kWarmUp; n < kWarmUp + kSessions; ++n) {
            QVERIFY2(session(n), qPrintable(QStringLiteral("session %1 after %2 ms, label %3")
                                                .arg(n)
                                                .arg(clock.elapsed())
                                                .arg(h.w().lbPCStatus(12)->text())));
        }
        const qint64 churnMs = clock.elapsed();

        // Sockets still flushing or waiting for deleteLater get a bounded moment to go.
        pumpUntil([&] { return faults::openDescriptors() <= descriptorsBefore; }, 5000);
        const int descriptorsAfter = faults::openDescriptors();
        QVERIFY2(descriptorsAfter == descriptorsBefore,
                 qPrintable(QStringLiteral("%1 descriptors before, %2 after %3 sessions (%4 ms)")
                                .arg(descriptorsBefore)
                                .arg(descriptorsAfter)
                                .arg(kSessions)
                                .arg(churnMs)));
        QCOMPARE(server->findChildren<QAbstractSocket*>().size(), 0);
        QCOMPARE(dvr.connectionCount(), 1);

        QVERIFY(pumpUntil([&] { return dvr.received() == expected; }, 3000));
        auto terminal = connectTerminal(pos);
        QVERIFY(terminal);
        terminal->write("STILL HERE");
        expected += "STILL HERE\r\n";
        QVERIFY(pumpUntil([&] { return dvr.received() == expected; }, 3000));
        QCOMPARE(dvr.received(), expected);
    }

    void stalledDvrUnderA200MegabyteFloodStaysBounded() {
        Harness h;
        QTcpServer dvrServer;
        QVERIFY(dvrServer.listen(QHostAddress::LocalHost, 0));
        const quint16 pos = freePort();
        h.setRow(8, "127.0.0.1", dvrServer.serverPort(), pos);
        h.w().cmdConnect_Click(8);
        QVERIFY(dvrServer.waitForNewConnection(3000));
        QTcpSocket* dvr = dvrServer.nextPendingConnection();
        dvr->setReadBufferSize(64 * 1024);  // a DVR that stops reading
        QVERIFY(pumpUntil([&] { return listening(h, 8); }, 3000));
        auto terminal = connectTerminal(pos);
        QVERIFY(terminal);
        QVERIFY(pumpUntil([&] { return h.w().PosConnected(8) != 0; }, 3000));

        Winsock* link = h.w().tcpClient(8);
        constexpr qint64 kQueueLimit = Winsock::kMaxQueuedBytes + 512 * 1024;
        qint64 worstQueue = 0;
        qint64 worstRss = 0;
        int samples = 0;
        auto sample = [&] {
            worstQueue = qMax(worstQueue, link->BytesQueued());
            worstRss = qMax(worstRss, faults::residentBytes());
            ++samples;
        };
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, sample);
        const qint64 rssBefore = faults::residentBytes();
        QVERIFY(rssBefore > 0);
        sampler.start(5);

        // A letter stream with no CR or LF, made a chunk at a time as the socket takes it.
        constexpr qint64 kTotal = 200LL << 20;
        constexpr int kChunk = 64 * 1024;
        auto patternAt = [](qint64 i) { return char('A' + i % 26); };
        qint64 produced = 0;
        auto produce = [&] {
            while (produced < kTotal && terminal->bytesToWrite() < (1 << 20)) {
                const int size = int(qMin<qint64>(kChunk, kTotal - produced));
                QByteArray chunk(size, Qt::Uninitialized);
                for (int k = 0; k < size; ++k) {
                    chunk[k] = patternAt(produced + k);
                }
                terminal->write(chunk);
                produced += size;
            }
        };
        QObject::connect(terminal.get(), &QTcpSocket::bytesWritten, produce);
        produce();

        // Stalled: the queue stays capped and the terminal is pushed back to a standstill.
        QTest::qWait(1500);
        const qint64 producedEarly = produced;
        QTest::qWait(700);
        sample();
        QVERIFY2(produced < kTotal, "the terminal was never slowed down");
        QVERIFY2(
            produced == producedEarly,
            qPrintable(
                QStringLiteral("still taking bytes: %1 -> %2").arg(producedEarly).arg(produced)));
        QVERIFY2(worstQueue <= kQueueLimit, qPrintable(QString::number(worstQueue)));

        // Reading again: every byte arrives in order with only CR LF added between arrivals.
        qint64 checked = 0;
        qint64 firstMismatch = -1;
        auto consume = [&] {
            const QByteArray bytes = dvr->readAll();
            for (char c : bytes) {
                if (c == '\r' || c == '\n') {
                    continue;
                }
                if (firstMismatch < 0 && c != patternAt(checked)) {
                    firstMismatch = checked;
                }
                ++checked;
            }
        };
        dvr->setReadBufferSize(0);
        QObject::connect(dvr, &QTcpSocket::readyRead, consume);
        consume();
        QElapsedTimer drain;
        drain.start();
        QVERIFY2(pumpUntil([&] { return checked >= kTotal || firstMismatch >= 0; }, 35000),
                 qPrintable(QStringLiteral("%1 of %2 bytes after %3 ms")
                                .arg(checked)
                                .arg(kTotal)
                                .arg(drain.elapsed())));
        sampler.stop();
        sample();
        QCOMPARE(firstMismatch, qint64(-1));
        QCOMPARE(checked, kTotal);
        QCOMPARE(produced, kTotal);
        QVERIFY2(worstQueue <= kQueueLimit, qPrintable(QString::number(worstQueue)));
        QVERIFY2(worstRss - rssBefore < (64LL << 20),
                 qPrintable(QStringLiteral("RSS grew by %1 bytes").arg(worstRss - rssBefore)));
        QVERIFY(samples > 100);
        QCOMPARE(h.w().lbStatus(8)->text(), QString("Connected"));
        QVERIFY(!dvrServer.hasPendingConnections());  // the link was never rebuilt
        qInfo("drained in %lld ms; worst queue %lld bytes; RSS growth %lld bytes", drain.elapsed(),
              worstQueue, worstRss - rssBefore);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
