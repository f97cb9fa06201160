#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "serial/serial_line.h"

namespace {

// A pair of pseudo-terminals joined by socat, reached through two links that stay the same
// when socat is started again, as a USB adapter keeps its device name when plugged back.
class PtyPair {
public:
    PtyPair() { socat_.setProcessChannelMode(QProcess::ForwardedErrorChannel); }
    ~PtyPair() { stop(); }

    QString a() const { return dir_.filePath(QStringLiteral("a")); }
    QString b() const { return dir_.filePath(QStringLiteral("b")); }

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
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty()) {
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
    QVERIFY(vanished.wait(2500));
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
    QTest::addColumn<uint>("cflag");
    QTest::addColumn<bool>("xonXoff");
    QTest::newRow("8N1") << S::DataBits::k8 << S::Parity::kNone << S::StopBits::kOne
                         << S::Flow::kNone << 0u << false;
    QTest::newRow("7E2 rtscts") << S::DataBits::k7 << S::Parity::kEven << S::StopBits::kTwo
                                << S::Flow::kRtsCts << uint(CSTOPB | CRTSCTS) << false;
    QTest::newRow("5O1 xonxoff") << S::DataBits::k5 << S::Parity::kOdd << S::StopBits::kOne
                                 << S::Flow::kXonXoff << uint(PARODD) << true;
    QTest::newRow("6M1") << S::DataBits::k6 << S::Parity::kMark << S::StopBits::kOne
                         << S::Flow::kNone << uint(PARODD | CMSPAR) << false;
    QTest::newRow("7S2") << S::DataBits::k7 << S::Parity::kSpace << S::StopBits::kTwo
                         << S::Flow::kNone << uint(CMSPAR | CSTOPB) << false;
}

void TestSerialLine::lineSettingsReachTheDevice() {
    QFETCH(SerialSettings::DataBits, dataBits);
    QFETCH(SerialSettings::Parity, parity);
    QFETCH(SerialSettings::StopBits, stopBits);
    QFETCH(SerialSettings::Flow, flow);
    QFETCH(uint, cflag);
    QFETCH(bool, xonXoff);
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

    const int fd = ::open(QFile::encodeName(pair.a()).constData(), O_RDONLY | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios device{};
    const int got = ::tcgetattr(fd, &device);
    ::close(fd);
    QCOMPARE(got, 0);
    // Linux's pty driver keeps every pty at 8 data bits with parity off, so of the framing
    // only the kind of parity (PARODD, CMSPAR) and the stop bits are seen.
    QCOMPARE(uint(device.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS)), cflag);
    QCOMPARE((device.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), xonXoff);
    QCOMPARE(::cfgetospeed(&device), speed_t(B19200));
}

QTEST_GUILESS_MAIN(TestSerialLine)
#include "tst_serial_line.moc"
