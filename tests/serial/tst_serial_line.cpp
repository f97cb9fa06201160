#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "serial/serial_line.h"

namespace {

#ifdef Q_OS_WIN
// Under wine the pair is made on the Linux side, by Linux's own programs, and a COM port
// names each end: wine opens COMn through the prefix's dosdevices/comn link.
bool underWine() {
    return !qEnvironmentVariable("WINEPREFIX").isEmpty();
}

// Runs a shell script on the Linux side and waits for its end, which wine does not report for a
// Linux program: the script leaves a mark.
bool runOnLinux(const QString& folder, const QString& script) {
    static int runs = 0;
    const QString name = QStringLiteral("/script-%1").arg(++runs);
    const QString mark = folder + name + QStringLiteral(".done");
    QFile file(QStringLiteral("Z:") + folder + name);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write((script + QStringLiteral("\ntouch ") + mark + QStringLiteral("\n")).toUtf8());
    file.close();
    if (!QProcess::startDetached(QStringLiteral("Z:\\bin\\sh"), {folder + name})) {
        return false;
    }
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 5000) {
        if (QFileInfo::exists(QStringLiteral("Z:") + mark)) {
            return true;
        }
        QTest::qWait(20);
    }
    return false;
}
#endif

// A pair of pseudo-terminals joined by socat, reached through two links that stay the same
// when socat is started again, as a USB adapter keeps its device name when plugged back.
#ifdef Q_OS_WIN
class PtyPair {
public:
    PtyPair()
        : folder_(QStringLiteral("/tmp/poskavelin-serial-%1-%2")
                      .arg(QCoreApplication::applicationPid())
                      .arg(pairs_)),
          com_(40 + 2 * pairs_++) {
        QDir().mkpath(QStringLiteral("Z:") + folder_);
    }
    ~PtyPair() {
        stop();
        const QString devices = qEnvironmentVariable("WINEPREFIX") + QStringLiteral("/dosdevices/");
        runOnLinux(folder_,
                   QStringLiteral("rm -f %1com%2 %1com%3").arg(devices).arg(com_).arg(com_ + 1));
        QDir(QStringLiteral("Z:") + folder_).removeRecursively();
    }

    QString a() const { return QStringLiteral("COM%1").arg(com_); }
    QString b() const { return QStringLiteral("COM%1").arg(com_ + 1); }
    QString linuxA() const { return folder_ + QStringLiteral("/a"); }

    bool start() {
        const QString devices = qEnvironmentVariable("WINEPREFIX") + QStringLiteral("/dosdevices/");
        const QString pty = QStringLiteral("pty,raw,echo=0,link=");
        return runOnLinux(
            folder_,
            QStringLiteral(
                "rm -f %1/a %1/b\n"
                "ln -sfn %1/a %2com%3\nln -sfn %1/b %2com%4\n"
                "socat %5%1/a %5%1/b </dev/null >/dev/null 2>&1 &\n"
                "echo $! >%1/pid\n"
                "for i in $(seq 300); do [ -e %1/a ] && [ -e %1/b ] && break; sleep 0.01; done")
                .arg(folder_, devices)
                .arg(com_)
                .arg(com_ + 1)
                .arg(pty));
    }

    // The line goes away at once, links left dangling, as when a cable is pulled.
    void pull() { end(QStringLiteral("KILL")); }
    void stop() { end(QStringLiteral("TERM")); }

private:
    void end(const QString& signal) {
        // Waits until socat is gone or is only a zombie nobody reaps, bounded at 3 s.
        runOnLinux(folder_,
                   QStringLiteral("[ -f %1/pid ] || exit 0\npid=$(cat %1/pid)\nrm -f %1/pid\n"
                                  "kill -%2 $pid\n"
                                  "for i in $(seq 300); do grep -qs '^State:[[:space:]]*[^Z]' "
                                  "/proc/$pid/status || break; sleep 0.01; done")
                       .arg(folder_, signal));
    }

    static inline int pairs_ = 0;
    const QString folder_;
    const int com_;
};
#else
class PtyPair {
public:
    PtyPair() { socat_.setProcessChannelMode(QProcess::ForwardedErrorChannel); }
    ~PtyPair() { stop(); }

    QString a() const { return dir_.filePath(QStringLiteral("a")); }
    QString b() const { return dir_.filePath(QStringLiteral("b")); }
    QString linuxA() const { return a(); }

    bool start() {
        QFile::remove(a());
        QFile::remove(b());
        const QString pty = QStringLiteral("pty,raw,echo=0,link=");
        socat_.start(QStringLiteral("socat"), {pty + a(), pty + b()});
        if (!socat_.waitForStarted(3000)) {
            return false;
        }
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 3000) {
            if (QFileInfo::exists(a()) && QFileInfo::exists(b())) {
                return true;
            }
            QTest::qWait(10);
        }
        return false;
    }

    // The line goes away at once, links left dangling, as when a cable is pulled.
    void pull() {
        socat_.kill();
        socat_.waitForFinished(3000);
    }

    void stop() {
        if (socat_.state() != QProcess::NotRunning) {
            socat_.terminate();
            if (!socat_.waitForFinished(3000)) {
                pull();
            }
        }
    }

private:
    QTemporaryDir dir_;
    QProcess socat_;
};
#endif

// How the device is set, in stty's words ("cstopb", "-crtscts", "speed 19200 baud;").
QStringList deviceSettings(const QString& linuxPath) {
#ifdef Q_OS_WIN
    const QString folder = QFileInfo(linuxPath).path();
    if (!runOnLinux(folder, QStringLiteral("stty -F %1 -a >%2/stty").arg(linuxPath, folder))) {
        return {};
    }
    QFile file(QStringLiteral("Z:") + folder + QStringLiteral("/stty"));
    file.open(QIODevice::ReadOnly);
    const QString all = QString::fromUtf8(file.readAll());
#else
    QProcess stty;
    stty.start(QStringLiteral("stty"), {QStringLiteral("-F"), linuxPath, QStringLiteral("-a")});
    stty.waitForFinished(3000);
    const QString all = QString::fromUtf8(stty.readAllStandardOutput());
#endif
    return all.simplified().split(QLatin1Char(' '));
}

SerialSettings settingsFor(const QString& port) {
    SerialSettings settings;
    settings.port = port;
    settings.baud = 115200;
    return settings;
}

QByteArray collect(QSignalSpy& spy) {
    QByteArray all;
    for (const QList<QVariant>& arguments : spy) {
        all += arguments.at(0).toByteArray();
    }
    return all;
}

QStringList serialLog;

void keepSerialLines(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (QByteArrayView(context.category) == "poskavelin.serial") {
        serialLog += message;
    }
}

}  // namespace

class TestSerialLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void bytesBothWaysWithABoundedQueue();
    void tapNeverWrites();
    // Pulled and plugged back: reopened within about two seconds, one log line each way.
    void vanishedLineIsReopened();
    void missingDeviceIsRetried();
    // The settings file's framing and flow, as the device is set.
    void lineSettingsReachTheDevice_data();
    void lineSettingsReachTheDevice();
};

void TestSerialLine::initTestCase() {
#ifdef Q_OS_WIN
    if (!underWine()) {
        QSKIP("the serial lines are made by socat on the Linux side of wine");
    }
    if (!QFileInfo::exists(QStringLiteral("Z:/usr/bin/socat"))) {
#else
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty()) {
#endif
        QSKIP("socat is not installed (apt-get install socat)");
    }
}

void TestSerialLine::bytesBothWaysWithABoundedQueue() {
    PtyPair pair;
    QVERIFY(pair.start());
    SerialLine till(3, settingsFor(pair.a()), SerialLine::Mode::kReadWrite);
    SerialLine printer(3, settingsFor(pair.b()), SerialLine::Mode::kReadWrite);
    QSignalSpy tillOpened(&till, &SerialLine::opened);
    QSignalSpy atTill(&till, &SerialLine::bytesArrived);
    QSignalSpy atPrinter(&printer, &SerialLine::bytesArrived);
    till.start();
    printer.start();
    QCOMPARE(tillOpened.size(), 1);
    QVERIFY(till.isOpen() && printer.isOpen());

    // Every byte value, since receipts carry ESC/POS commands and code page text.
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i) {
        all[i] = char(i);
    }
    QVERIFY(till.write("receipt\r\n" + all));
    QTRY_COMPARE_WITH_TIMEOUT(collect(atPrinter), "receipt\r\n" + all, 3000);
    QVERIFY(printer.write(QByteArray("\x10\x04\x01\x12", 4)));
    QTRY_COMPARE_WITH_TIMEOUT(collect(atTill), QByteArray("\x10\x04\x01\x12", 4), 3000);

    // Past the queue's bound a write is refused whole; what was queued still goes out.
    const QByteArray big(SerialLine::kWriteLimit, 'x');
    QVERIFY(till.write(big));
    QVERIFY(till.bytesToWrite() > 0);
    QVERIFY(!till.write(big));
    atPrinter.clear();
    QTRY_COMPARE_WITH_TIMEOUT(collect(atPrinter).size(), big.size(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(till.bytesToWrite(), 0, 3000);
    QVERIFY(till.write("more"));
}

void TestSerialLine::tapNeverWrites() {
    PtyPair pair;
    QVERIFY(pair.start());
    SerialLine tap(5, settingsFor(pair.a()), SerialLine::Mode::kTap);
    SerialLine line(5, settingsFor(pair.b()), SerialLine::Mode::kReadWrite);
    QSignalSpy atTap(&tap, &SerialLine::bytesArrived);
    QSignalSpy atLine(&line, &SerialLine::bytesArrived);
    tap.start();
    line.start();
    QVERIFY(tap.isOpen());

    QVERIFY(!tap.write("status?"));
    QCOMPARE(tap.bytesToWrite(), 0);
    QVERIFY(line.write("till to printer"));
    QTRY_COMPARE_WITH_TIMEOUT(collect(atTap), QByteArray("till to printer"), 3000);
    QTest::qWait(200);
    QCOMPARE(atLine.size(), 0);
}

void TestSerialLine::vanishedLineIsReopened() {
    PtyPair pair;
    QVERIFY(pair.start());
    SerialLine till(3, settingsFor(pair.a()), SerialLine::Mode::kReadWrite);
    QSignalSpy opened(&till, &SerialLine::opened);
    QSignalSpy vanished(&till, &SerialLine::vanished);
    QSignalSpy arrived(&till, &SerialLine::bytesArrived);
    till.start();
    QCOMPARE(opened.size(), 1);

    serialLog.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepSerialLines);
    pair.pull();
    // Under wine, pull() itself runs the event loop while it waits.
    QTRY_COMPARE_WITH_TIMEOUT(vanished.size(), 1, 2500);
    QVERIFY(!till.isOpen());
    QVERIFY(!till.write("lost"));
    // Several attempts fail while the line is away; none of them is logged.
    QTest::qWait(2 * SerialLine::kRetryMs + 200);
    QCOMPARE(vanished.size(), 1);

    QElapsedTimer back;
    back.start();
    QVERIFY(pair.start());
    QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 2, 2500);
    const qint64 reopenedAfter = back.elapsed();
    qInstallMessageHandler(previous);
    qInfo("reopened %lld ms after the line was back", reopenedAfter);
    QCOMPARE(serialLog.size(), 2);
    QVERIFY2(serialLog.at(0).startsWith(QStringLiteral("channel 3: serial line ") + pair.a() +
                                        QStringLiteral(" gone (")),
             qPrintable(serialLog.at(0)));
    QVERIFY2(serialLog.at(0).endsWith(QStringLiteral("; retrying every second")),
             qPrintable(serialLog.at(0)));
    QVERIFY2(serialLog.at(1).contains(QStringLiteral(" back after ")), qPrintable(serialLog.at(1)));

    SerialLine printer(3, settingsFor(pair.b()), SerialLine::Mode::kReadWrite);
    printer.start();
    QVERIFY(printer.write("after"));
    QTRY_COMPARE_WITH_TIMEOUT(collect(arrived), QByteArray("after"), 3000);
}

void TestSerialLine::missingDeviceIsRetried() {
    PtyPair pair;
    SerialLine till(7, settingsFor(pair.a()), SerialLine::Mode::kReadWrite);
    QSignalSpy opened(&till, &SerialLine::opened);
    QSignalSpy vanished(&till, &SerialLine::vanished);
    till.start();
    QCOMPARE(vanished.size(), 1);
    QVERIFY(!till.isOpen());
    QVERIFY(pair.start());
    QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 2500);
    QCOMPARE(vanished.size(), 1);

    till.stop();
    QVERIFY(!till.isOpen());
    pair.stop();
    QVERIFY(pair.start());
    QTest::qWait(SerialLine::kRetryMs + 200);
    QCOMPARE(opened.size(), 1);
}

void TestSerialLine::lineSettingsReachTheDevice_data() {
    using S = SerialSettings;
    QTest::addColumn<S::DataBits>("dataBits");
    QTest::addColumn<S::Parity>("parity");
    QTest::addColumn<S::StopBits>("stopBits");
    QTest::addColumn<S::Flow>("flow");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("8N1") << S::DataBits::k8 << S::Parity::kNone << S::StopBits::kOne
                         << S::Flow::kNone
                         << QStringList{"-parodd", "-cmspar", "-cstopb", "-crtscts", "-ixoff"};
    QTest::newRow("7E2 rtscts") << S::DataBits::k7 << S::Parity::kEven << S::StopBits::kTwo
                                << S::Flow::kRtsCts
                                << QStringList{"-parodd", "-cmspar", "cstopb", "crtscts", "-ixoff"};
    QTest::newRow("5O1 xonxoff") << S::DataBits::k5 << S::Parity::kOdd << S::StopBits::kOne
                                 << S::Flow::kXonXoff
                                 << QStringList{"parodd", "-cmspar", "-cstopb", "ixon", "ixoff"};
    QTest::newRow("6M1") << S::DataBits::k6 << S::Parity::kMark << S::StopBits::kOne
                         << S::Flow::kNone << QStringList{"parodd", "cmspar", "-cstopb"};
    QTest::newRow("7S2") << S::DataBits::k7 << S::Parity::kSpace << S::StopBits::kTwo
                         << S::Flow::kNone << QStringList{"-parodd", "cmspar", "cstopb"};
}

void TestSerialLine::lineSettingsReachTheDevice() {
    QFETCH(SerialSettings::DataBits, dataBits);
    QFETCH(SerialSettings::Parity, parity);
    QFETCH(SerialSettings::StopBits, stopBits);
    QFETCH(SerialSettings::Flow, flow);
    QFETCH(QStringList, expected);
    PtyPair pair;
    QVERIFY(pair.start());
    SerialSettings settings = settingsFor(pair.a());
    settings.baud = 19200;
    settings.dataBits = dataBits;
    settings.parity = parity;
    settings.stopBits = stopBits;
    settings.flow = flow;
    SerialLine line(2, settings, SerialLine::Mode::kReadWrite);
    line.start();
    QVERIFY(line.isOpen());

    // Linux's pty driver keeps every pty at 8 data bits with parity off, so of the framing
    // only the kind of parity (parodd, cmspar) and the stop bits are seen.
    const QStringList device = deviceSettings(pair.linuxA());
    QVERIFY2(device.join(' ').contains(QStringLiteral("speed 19200 baud")),
             qPrintable(device.join(' ')));
    for (const QString& word : expected) {
        QVERIFY2(device.contains(word),
                 qPrintable(word + QStringLiteral(" not in: ") + device.join(' ')));
    }
}

QTEST_GUILESS_MAIN(TestSerialLine)
#include "tst_serial_line.moc"
