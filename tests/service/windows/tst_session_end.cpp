#include <windows.h>

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Every top-level window of a process, hidden ones included, as Windows tells them.
QList<HWND> windowsOf(qint64 pid, bool visibleOnly = false) {
    struct Search {
        DWORD pid;
        bool visibleOnly;
        QList<HWND> found;
    } search{DWORD(pid), visibleOnly, {}};
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if (owner == s->pid && (!s->visibleOnly || ::IsWindowVisible(window))) {
                s->found.append(window);
            }
            return TRUE;
        },
        LPARAM(&search));
    return search.found;
}

struct Answers {
    int pending = 0;
    bool allTrue = true;
};

// Sent as Windows and wineboot send the session's messages: to every window at once, the
// answers coming back while this test's own loop keeps the terminal and the DVR going.
void sendToAll(const QList<HWND>& windows, UINT message, WPARAM wParam, Answers* answers) {
    for (HWND window : windows) {
        answers->pending += ::SendMessageCallbackW(
            window, message, wParam, 0,
            [](HWND, UINT, ULONG_PTR data, LRESULT result) {
                auto* a = reinterpret_cast<Answers*>(data);
                --a->pending;
                a->allTrue = a->allTrue && result;
            },
            ULONG_PTR(answers));
    }
}

// The real program on one channel, between a terminal that sends more than the bridge can
// pass on at once and a DVR that reads slowly, so a stop cut short loses bytes.
struct Channel {
    QTemporaryDir dir;
    QTcpServer dvrServer;
    QTcpSocket* dvr = nullptr;
    QTcpSocket terminal;
    QProcess bridge;
    QByteArray sent;
    QByteArray got;

    ~Channel() {
        bridge.kill();
        bridge.waitForFinished(3000);
    }

    bool start(bool hide) {
        dvrServer.listen(QHostAddress::LocalHost, 0);
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 pos = probe.serverPort();
        probe.close();
        QFile ini(dir.filePath("PosKavelin.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write("[Setup]\r\nHide=" + QByteArray(hide ? "1" : "0") +
                  "\r\nAutoRun=1\r\n[Connection 1]\r\nIP=127.0.0.1\r\nDVR_PORT=" +
                  QByteArray::number(dvrServer.serverPort()) +
                  "\r\nPOS_PORT=" + QByteArray::number(pos) + "\r\nENABLE=1\r\n");
        ini.close();
        const QString program = dir.filePath("poskavelin.exe");
        QFile::copy(QCoreApplication::applicationDirPath() + "/../poskavelin.exe", program);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");  // Windows' own platform, with real windows
        bridge.setProcessEnvironment(env);
        bridge.start(program, {});
        if (!dvrServer.waitForNewConnection(20000)) {
            return false;
        }
        dvr = dvrServer.nextPendingConnection();
        dvr->setReadBufferSize(64 * 1024);
        // The bridge listens once its DVR link is up.
        if (!QTest::qWaitFor(
                [&] {
                    terminal.abort();
                    terminal.connectToHost(QHostAddress::LocalHost, pos);
                    return terminal.waitForConnected(200);
                },
                10000)) {
            return false;
        }
        for (int i = 0; sent.size() < (3 << 20); ++i) {
            sent += QByteArray(1000, char('A' + i % 26));
        }
        terminal.write(sent);
        QTest::qWait(500);
        return true;
    }

    // QProcess says false for a process that already ended while the test waited.
    bool ended(int timeoutMs) {
        return bridge.state() == QProcess::NotRunning || bridge.waitForFinished(timeoutMs);
    }

    // One turn of the test's side: the DVR reads, and the terminal, once all it had is
    // sent, answers the bridge's FIN.
    bool handOver(bool done) {
        got += dvr->readAll();
        if (terminal.state() == QAbstractSocket::ConnectedState && terminal.bytesToWrite() == 0) {
            terminal.disconnectFromHost();
        }
        return done;
    }

    // What the DVR got until the bridge closed the link, without the CR LF after each piece.
    QByteArray receivedToEnd() {
        const bool closed = QTest::qWaitFor(
            [&] {
                return handOver(dvr->state() != QAbstractSocket::ConnectedState &&
                                dvr->bytesAvailable() == 0);
            },
            5000);
        return closed ? got.replace("\r\n", "") : QByteArray("(link still open)");
    }
};

}  // namespace

class TestSessionEnd : public QObject {
    Q_OBJECT
private slots:
    void endOfSessionIsAnsweredOnlyOnceAllIsHandedOver_data() {
        QTest::addColumn<bool>("hide");
        QTest::addColumn<bool>("endedAtAnswer");
        QTest::newRow("hidden, ended as it answers") << true << true;
        QTest::newRow("shown, ended as it answers") << false << true;
        QTest::newRow("hidden, left to end by itself") << true << false;
    }
    void endOfSessionIsAnsweredOnlyOnceAllIsHandedOver() {
        QFETCH(bool, hide);
        QFETCH(bool, endedAtAnswer);
        Channel channel;
        QVERIFY(channel.start(hide));
        const QList<HWND> windows = windowsOf(channel.bridge.processId());
        QVERIFY(!windows.isEmpty());
        Answers asked;
        sendToAll(windows, WM_QUERYENDSESSION, 0, &asked);
        QVERIFY(QTest::qWaitFor([&] { return channel.handOver(asked.pending == 0); }, 5000));
        QVERIFY(asked.allTrue);  // the bridge never holds the session up
        Answers told;
        sendToAll(windows, WM_ENDSESSION, TRUE, &told);
        QVERIFY(QTest::qWaitFor([&] { return channel.handOver(told.pending == 0); }, 6000));
        if (endedAtAnswer) {
            channel.bridge.kill();  // as Windows may, the moment the last answer is in
        } else {
            QVERIFY(channel.ended(3000));
            QCOMPARE(channel.bridge.exitCode(), 0);
        }
        QCOMPARE(channel.receivedToEnd().size(), channel.sent.size());
        QVERIFY(channel.got == channel.sent);
    }

    void closingTheWindowHandsOverAndExitsZero() {
        Channel channel;
        QVERIFY(channel.start(false));
        const QList<HWND> shown = windowsOf(channel.bridge.processId(), true);
        QCOMPARE(shown.size(), 1);
        ::PostMessageW(shown.first(), WM_SYSCOMMAND, SC_CLOSE, 0);  // its title bar's X
        QCOMPARE(channel.receivedToEnd().size(), channel.sent.size());
        QVERIFY(channel.got == channel.sent);
        QVERIFY(channel.ended(3000));
        QCOMPARE(channel.bridge.exitStatus(), QProcess::NormalExit);
        QCOMPARE(channel.bridge.exitCode(), 0);
    }
};

QTEST_MAIN(TestSessionEnd)
#include "tst_session_end.moc"
