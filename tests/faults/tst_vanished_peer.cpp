#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <thread>

#include "fault_tools.h"
#include "harness.h"

using faults::pumpUntil;

namespace {

QString findTool(const QString& name) {
    const QString onPath = QStandardPaths::findExecutable(name);
    return !onPath.isEmpty() ? onPath
                             : QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"});
}

sockaddr_in ipv4(const QString& address, quint16 port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.toLatin1().constData(), &sa.sin_addr);
    return sa;
}

// A network namespace of this test's own, joined to the host by a veth pair. A drop-all
// firewall inside it later turns whatever lives there into a peer that silently vanished:
// no FIN, no reset, no ICMP, nothing. Everything is removed again on destruction.
class NetnsLab {
public:
    NetnsLab() {
        if (::geteuid() != 0) {
            unavailable = "a network namespace needs root";
            return;
        }
        ip_ = findTool("ip");
        nft_ = findTool("nft");
        if (ip_.isEmpty() || nft_.isEmpty()) {
            unavailable = "needs 'ip' (iproute2) and 'nft' (nftables)";
            return;
        }
        removeLeftoversOfDeadRuns();
        const QString pid = QString::number(::getpid());
        name_ = "pk-dvr-" + pid;
        hostIf_ = "pkh" + pid;
        innerIf_ = "pkn" + pid;

        QString addresses;
        if (!run(ip_, {"-o", "-4", "addr", "show"}, {}, &addresses)) {
            unavailable = "cannot list addresses: " + addresses;
            return;
        }
        for (int k = 0; k < 64 && hostAddress.isEmpty(); ++k) {
            const int x = int((::getpid() + k * 37) % 254) + 1;
            if (!addresses.contains(QStringLiteral("10.213.%1.").arg(x))) {
                hostAddress = QStringLiteral("10.213.%1.1").arg(x);
                innerAddress = QStringLiteral("10.213.%1.2").arg(x);
            }
        }
        if (hostAddress.isEmpty()) {
            unavailable = "no free 10.213.x.0/30 subnet";
            return;
        }

        QString why;
        if (!run(ip_, {"netns", "add", name_}, {}, &why)) {
            unavailable = "cannot create a network namespace: " + why;
            return;
        }
        created_ = true;
        const QList<QStringList> steps = {
            {"link", "add", hostIf_, "type", "veth", "peer", "name", innerIf_, "netns", name_},
            {"addr", "add", hostAddress + "/30", "dev", hostIf_},
            {"link", "set", hostIf_, "up"},
            {"-n", name_, "addr", "add", innerAddress + "/30", "dev", innerIf_},
            {"-n", name_, "link", "set", innerIf_, "up"},
            {"-n", name_, "link", "set", "lo", "up"},
        };
        for (const QStringList& step : steps) {
            if (!run(ip_, step, {}, &why)) {
                unavailable = "ip " + step.join(' ') + ": " + why;
                return;
            }
        }
        if (!run(ip_, {"netns", "exec", name_, nft_, "list", "ruleset"}, {}, &why)) {
            unavailable = "nftables does not work in a namespace here: " + why;
            return;
        }
        if (!probe(&why)) {
            unavailable = "the veth pair carries no TCP here: " + why;
        }
    }

    ~NetnsLab() {
        if (created_) {
            run(ip_, {"link", "del", hostIf_});  // takes the inner end with it at once
            run(ip_, {"netns", "del", name_});
        }
    }

    // A TCP socket that lives in the namespace, whichever thread uses it later.
    int socketInside() const {
        int fd = -1;
        std::thread inside([&] {
            const int ns =
                ::open(("/run/netns/" + name_).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
            if (ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0) {
                fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            }
            if (ns >= 0) {
                ::close(ns);
            }
        });
        inside.join();
        return fd;
    }

    // A listening socket inside, on the inner address.
    int listenInside(quint16 port) const {
        const int fd = socketInside();
        const int on = 1;
        const sockaddr_in sa = ipv4(innerAddress, port);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(fd, 8) != 0) {
            if (fd >= 0) {
                ::close(fd);
            }
            return -1;
        }
        return fd;
    }

    // A socket inside connected to host:port, or -1 after about three seconds.
    int connectFromInside(const QString& host, quint16 port) const {
        const int fd = socketInside();
        const timeval bound{3, 0};
        const sockaddr_in sa = ipv4(host, port);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0 ||
            ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
            if (fd >= 0) {
                ::close(fd);
            }
            return -1;
        }
        return fd;
    }

    // From now on nothing enters or leaves the namespace, silently.
    bool dropEverything(QString* why) const {
        const QByteArray rules =
            "table inet pk_vanish {\n"
            "  chain in { type filter hook input priority 0; policy drop; }\n"
            "  chain out { type filter hook output priority 0; policy drop; }\n"
            "}\n";
        return run(ip_, {"netns", "exec", name_, nft_, "-f", "-"}, rules, why);
    }

    QString unavailable;
    QString hostAddress;
    QString innerAddress;

private:
    static bool run(const QString& program, const QStringList& args, const QByteArray& input = {},
                    QString* output = nullptr) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, args);
        if (!process.waitForStarted(5000)) {
            if (output) {
                *output = process.errorString();
            }
            return false;
        }
        process.write(input);
        process.closeWriteChannel();
        const bool finished = process.waitForFinished(10000);
        if (!finished) {
            process.kill();
            process.waitForFinished(2000);
        }
        if (output) {
            *output = QString::fromLocal8Bit(process.readAll()).trimmed();
        }
        return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    // A run that died before its destructor ran leaves its namespace behind; only
    // names of this test whose process is gone are touched.
    void removeLeftoversOfDeadRuns() const {
        static const QRegularExpression ours(QStringLiteral("^pk-dvr-(\\d+)$"));
        const QStringList names = QDir("/run/netns").entryList(QDir::Files | QDir::System);
        for (const QString& name : names) {
            const auto match = ours.match(name);
            if (match.hasMatch() && !QFile::exists("/proc/" + match.captured(1))) {
                run(ip_, {"link", "del", "pkh" + match.captured(1)});
                run(ip_, {"netns", "del", name});
            }
        }
    }

    bool probe(QString* why) const {
        const int listener = listenInside(9);
        if (listener < 0) {
            *why = "no listening socket inside";
            return false;
        }
        QTcpSocket client;
        client.connectToHost(QHostAddress(innerAddress), 9);
        const bool ok = client.waitForConnected(3000);
        *why = client.errorString();
        client.abort();
        ::close(listener);
        return ok;
    }

    QString ip_;
    QString nft_;
    QString name_;
    QString hostIf_;
    QString innerIf_;
    bool created_ = false;
};

// A DVR listening inside the namespace; keeps what each link sent.
class InnerDvr : public QObject {
public:
    bool adopt(int listeningFd) {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* link = server_.nextPendingConnection()) {
                const qsizetype n = received.size();
                received.append(QByteArray());
                connect(link, &QTcpSocket::readyRead, this,
                        [this, link, n] { received[n] += link->readAll(); });
            }
        });
        return server_.setSocketDescriptor(listeningFd);
    }
    QList<QByteArray> received;

private:
    QTcpServer server_;
};

}  // namespace

// Peers that vanish without a word: packets to and from them are dropped, so no FIN or
// reset ever arrives. Only the keepalive and user-timeout settings of the links can tell.
class TestVanishedPeer : public QObject {
    Q_OBJECT
private slots:
    void vanishedDvrsAndTerminalAreDetected() {
        NetnsLab lab;
        if (!lab.unavailable.isEmpty()) {
            QSKIP(qPrintable("no network namespace for this test: " + lab.unavailable));
        }
        Harness h;
        constexpr quint16 kInnerDvrPort = 9100;
        InnerDvr innerDvr;
        const int listener = lab.listenInside(kInnerDvrPort);
        QVERIFY(listener >= 0);
        QVERIFY(innerDvr.adopt(listener));

        // Row 1: an idle link to a DVR inside. Row 2: the same, but a receipt is on its
        // way when the DVR vanishes. Row 3: a local DVR, with the terminal inside.
        const quint16 pos1 = freePort();
        h.setRow(1, lab.innerAddress, kInnerDvrPort, pos1);
        h.w().cmdConnect_Click(1);
        QVERIFY(pumpUntil([&] { return h.w().lbStatus(1)->text() == "Connected"; }, 5000));
        QVERIFY(pumpUntil([&] { return innerDvr.received.size() == 1; }, 3000));
        const quint16 pos2 = freePort();
        h.setRow(2, lab.innerAddress, kInnerDvrPort, pos2);
        h.w().cmdConnect_Click(2);
        QVERIFY(pumpUntil([&] { return h.w().lbStatus(2)->text() == "Connected"; }, 5000));
        QVERIFY(pumpUntil([&] { return innerDvr.received.size() == 2; }, 3000));
        FakeDvr localDvr;
        const quint16 pos3 = freePort();
        h.setRow(3, "127.0.0.1", localDvr.port(), pos3);
        h.w().cmdConnect_Click(3);
        QVERIFY(pumpUntil([&] { return h.w().lbPCStatus(3)->text() == "Listening"; }, 5000));

        auto terminal1 = connectTerminal(pos1);
        auto terminal2 = connectTerminal(pos2);
        QVERIFY(terminal1 && terminal2);
        QTcpSocket innerTerminal;
        const int innerFd = lab.connectFromInside(lab.hostAddress, pos3);
        QVERIFY(innerFd >= 0);
        QVERIFY(innerTerminal.setSocketDescriptor(innerFd));
        QVERIFY(pumpUntil(
            [&] {
                return h.w().PosConnected(1) && h.w().PosConnected(2) &&
                       h.w().lbPCStatus(3)->text() == "Connected";
            },
            3000));

        // Every path carries bytes before the silence.
        terminal1->write("ROW ONE");
        terminal2->write("ROW TWO");
        innerTerminal.write("FROM INSIDE");
        QVERIFY(pumpUntil(
            [&] {
                return innerDvr.received[0] == "ROW ONE\r\n" &&
                       innerDvr.received[1] == "ROW TWO\r\n" &&
                       localDvr.received() == "FROM INSIDE\r\n";
            },
            3000));

        QString why;
        QVERIFY2(lab.dropEverything(&why), qPrintable(why));
        QElapsedTimer silence;
        silence.start();
        terminal2->write("AFTER THE DROP");  // forwarded into a link that never answers

        qint64 found1 = -1;
        qint64 found2 = -1;
        qint64 found3 = -1;
        auto note = [&](qint64& at, bool gone) {
            if (at < 0 && gone) {
                at = silence.elapsed();
            }
            return at >= 0;
        };
        constexpr int kWaitMs = 45000;
        pumpUntil(
            [&] {
                const bool one = note(found1, h.w().lbStatus(1)->text() != "Connected");
                const bool two = note(found2, h.w().lbStatus(2)->text() != "Connected");
                const bool three = note(found3, h.w().lbPCStatus(3)->text() != "Connected");
                return one && two && three;
            },
            kWaitMs);
        // Keepalive starts after 10 s of quiet: anything sooner was a packet that got through.
        constexpr qint64 kEarliestMs = 8000;
        constexpr qint64 kLatestMs = 40000;
        auto inTime = [&](qint64 at) { return at >= kEarliestMs && at <= kLatestMs; };
        auto shown = [&](qint64 at) {
            return at < 0 ? QStringLiteral("not within %1 ms").arg(kWaitMs)
                          : QStringLiteral("%1 ms").arg(at);
        };
        const QString found = QStringLiteral(
                                  "idle DVR link %1, DVR link with data in flight %2, "
                                  "terminal %3 after the silence began")
                                  .arg(shown(found1), shown(found2), shown(found3));
        qInfo("%s", qPrintable(found));
        QVERIFY2(inTime(found1) && inTime(found2) && inTime(found3), qPrintable(found));

        // The DVR rows rebuild; the terminal row listens again with its DVR link intact.
        for (int row : {1, 2}) {
            QCOMPARE(h.w().lbStatus(row)->text(), QString("Connecting"));
            QCOMPARE(h.w().lbPCStatus(row)->text(), QString("Closed"));
            QCOMPARE(h.w().DvrConnected(row), 0);
        }
        QVERIFY(pumpUntil(
            [&] {
                return terminal1->state() == QAbstractSocket::UnconnectedState &&
                       terminal2->state() == QAbstractSocket::UnconnectedState;
            },
            3000));
        QVERIFY(pumpUntil([&] { return h.w().lbPCStatus(3)->text() == "Listening"; }, 3000));
        QCOMPARE(h.w().lbStatus(3)->text(), QString("Connected"));
        QCOMPARE(localDvr.connectionCount(), 1);
        auto comeback = connectTerminal(pos3);
        QVERIFY(comeback);
        comeback->write("BACK ON THE HOST");
        QVERIFY(pumpUntil(
            [&] { return localDvr.received() == "FROM INSIDE\r\nBACK ON THE HOST\r\n"; }, 3000));
        QVERIFY(h.boxes.isEmpty());
    }
};

QTEST_MAIN(TestVanishedPeer)
#include "tst_vanished_peer.moc"
