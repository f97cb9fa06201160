#include <QTest>
#include <map>

#include "printer_line/printer_keys.h"

namespace {

// "KEY=VALUE;KEY=VALUE", as a channel's section would hold them.
std::optional<PrinterLineOptions> parse(const QByteArray& keys, QString* badKey = nullptr,
                                        QString* why = nullptr) {
    std::map<QByteArray, QByteArray> values;
    for (const QByteArray& pair : keys.split(';')) {
        if (const qsizetype eq = pair.indexOf('='); eq > 0) {
            values[pair.left(eq)] = pair.mid(eq + 1);
        }
    }
    return PrinterLineOptions::parse(
        [&](const char* key) -> std::optional<QByteArray> {
            const auto it = values.find(key);
            return it == values.end() ? std::nullopt : std::optional(it->second);
        },
        badKey, why);
}

}  // namespace

class TestPrinterKeys : public QObject {
    Q_OBJECT

private slots:
    void absentKeysChangeNothing();
    void networkPrinter_data();
    void networkPrinter();
    void serialLines();
    void badValues_data();
    void badValues();
    void portRule_data();
    void portRule();
};

void TestPrinterKeys::absentKeysChangeNothing() {
    for (const QByteArray& keys : {QByteArray(), QByteArray("RECEIPT_PRINTER= ;PRINTER_STATUS=none;"
                                                            "POS_SERIAL=;POS_SERIAL_TAP=0")}) {
        const auto options = parse(keys);
        QVERIFY(options);
        QCOMPARE(*options, PrinterLineOptions());
        QVERIFY(!options->any());
    }
}

void TestPrinterKeys::networkPrinter_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("IPv4") << QByteArray(" 10.0.0.9:9100 ") << "10.0.0.9" << 9100;
    QTest::newRow("IPv6") << QByteArray("[::1]:9100") << "::1" << 9100;
    QTest::newRow("IPv6 link-local with scope")
        << QByteArray("[fe80::1%Eth0]:1") << "fe80::1%Eth0" << 1;
    QTest::newRow("name, case folded")
        << QByteArray("Printer-2.Shop.lan:65535") << "printer-2.shop.lan" << 65535;
    QTest::newRow("single label") << QByteArray("kitchen:09100") << "kitchen" << 9100;
}

void TestPrinterKeys::networkPrinter() {
    QFETCH(QByteArray, value);
    QFETCH(QString, host);
    QFETCH(int, port);
    const auto options = parse("RECEIPT_PRINTER=" + value);
    QVERIFY(options);
    QCOMPARE(options->printer, PrinterLineOptions::Printer::kTcp);
    QCOMPARE(options->printerHost, host);
    QCOMPARE(options->printerPort, port);
    QVERIFY(options->any());
    QCOMPARE(*options, *parse("RECEIPT_PRINTER=" + value));
    QVERIFY(!(*options == *parse("RECEIPT_PRINTER=10.0.0.8:9100")));
}

void TestPrinterKeys::serialLines() {
    const auto terminal =
        parse("POS_SERIAL= /dev/ttyUSB0 ;BAUD=19200;FRAMING=7e2;FLOW=RtsCts;PRINTER_STATUS=Star");
    QVERIFY(terminal);
    QVERIFY(terminal->posSerial);
    QCOMPARE(terminal->posSerial->port, "/dev/ttyUSB0");
    QCOMPARE(terminal->posSerial->baud, 19200);
    QCOMPARE(terminal->posSerial->dataBits, SerialSettings::DataBits::k7);
    QCOMPARE(terminal->posSerial->parity, SerialSettings::Parity::kEven);
    QCOMPARE(terminal->posSerial->stopBits, SerialSettings::StopBits::kTwo);
    QCOMPARE(terminal->posSerial->flow, SerialSettings::Flow::kRtsCts);
    QCOMPARE(terminal->status, PrinterStatus::kStar);
    QVERIFY(!terminal->tap);

    const auto defaults = parse("POS_SERIAL=COM3");
    QVERIFY(defaults);
    SerialSettings expected;
    expected.port = "COM3";
    QCOMPARE(*defaults->posSerial, expected);  // 9600 8N1, no flow control

    const auto tap = parse("POS_SERIAL=/dev/ttyS0;POS_SERIAL_TAP=1;FRAMING=5S1;FLOW=xonxoff");
    QVERIFY(tap);
    QVERIFY(tap->tap);
    QCOMPARE(tap->posSerial->dataBits, SerialSettings::DataBits::k5);
    QCOMPARE(tap->posSerial->parity, SerialSettings::Parity::kSpace);
    QCOMPARE(tap->posSerial->flow, SerialSettings::Flow::kXonXoff);

    const auto printer = parse(
        "POS_SERIAL=/dev/ttyUSB0;RECEIPT_PRINTER=Serial:/dev/ttyS1;PRINTER_BAUD=38400;"
        "PRINTER_FRAMING=8O1;PRINTER_FLOW=none;BAUD=115200");
    QVERIFY(printer);
    QCOMPARE(printer->printer, PrinterLineOptions::Printer::kSerial);
    QCOMPARE(printer->printerSerial.port, "/dev/ttyS1");
    QCOMPARE(printer->printerSerial.baud, 38400);
    QCOMPARE(printer->printerSerial.parity, SerialSettings::Parity::kOdd);
    QCOMPARE(printer->posSerial->baud, 115200);
    QCOMPARE(printer->posSerial->parity, SerialSettings::Parity::kNone);
}

void TestPrinterKeys::badValues_data() {
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<QString>("badKey");
    QTest::newRow("status beside a tap")
        << QByteArray("POS_SERIAL=/dev/ttyS0;POS_SERIAL_TAP=1;PRINTER_STATUS=escpos")
        << "PRINTER_STATUS";
    QTest::newRow("status beside a real printer")
        << QByteArray("RECEIPT_PRINTER=10.0.0.9:9100;PRINTER_STATUS=escpos") << "PRINTER_STATUS";
    QTest::newRow("status beside a serial printer")
        << QByteArray("RECEIPT_PRINTER=serial:/dev/ttyS1;PRINTER_STATUS=star") << "PRINTER_STATUS";
    QTest::newRow("printer on a tapped line")
        << QByteArray("POS_SERIAL=/dev/ttyS0;POS_SERIAL_TAP=1;RECEIPT_PRINTER=10.0.0.9:9100")
        << "RECEIPT_PRINTER";
    QTest::newRow("unknown status kind") << QByteArray("PRINTER_STATUS=epson") << "PRINTER_STATUS";
    QTest::newRow("no port") << QByteArray("RECEIPT_PRINTER=10.0.0.9") << "RECEIPT_PRINTER";
    QTest::newRow("port 0") << QByteArray("RECEIPT_PRINTER=10.0.0.9:0") << "RECEIPT_PRINTER";
    QTest::newRow("port 65536") << QByteArray("RECEIPT_PRINTER=10.0.0.9:65536")
                                << "RECEIPT_PRINTER";
    QTest::newRow("signed port") << QByteArray("RECEIPT_PRINTER=10.0.0.9:+9100")
                                 << "RECEIPT_PRINTER";
    QTest::newRow("IPv6 without brackets")
        << QByteArray("RECEIPT_PRINTER=::1:9100") << "RECEIPT_PRINTER";
    QTest::newRow("bad quad") << QByteArray("RECEIPT_PRINTER=10.0.0.300:9100") << "RECEIPT_PRINTER";
    QTest::newRow("short quad") << QByteArray("RECEIPT_PRINTER=10.1:9100") << "RECEIPT_PRINTER";
    QTest::newRow("name with blank")
        << QByteArray("RECEIPT_PRINTER=front desk:9100") << "RECEIPT_PRINTER";
    QTest::newRow("label ends in hyphen")
        << QByteArray("RECEIPT_PRINTER=printer-.lan:9100") << "RECEIPT_PRINTER";
    QTest::newRow("serial without device")
        << QByteArray("RECEIPT_PRINTER=serial: ") << "RECEIPT_PRINTER";
    QTest::newRow("baud not a number") << QByteArray("POS_SERIAL=/dev/ttyS0;BAUD=fast") << "BAUD";
    QTest::newRow("baud 0") << QByteArray("POS_SERIAL=/dev/ttyS0;BAUD=0") << "BAUD";
    QTest::newRow("framing 9 bits") << QByteArray("POS_SERIAL=/dev/ttyS0;FRAMING=9N1") << "FRAMING";
    QTest::newRow("framing parity X")
        << QByteArray("POS_SERIAL=/dev/ttyS0;FRAMING=8X1") << "FRAMING";
    QTest::newRow("framing 3 stop bits")
        << QByteArray("POS_SERIAL=/dev/ttyS0;FRAMING=8N3") << "FRAMING";
    // Windows drives 1.5 stop bits with 5 data bits only; Linux never does.
    QTest::newRow("framing 8N1.5") << QByteArray("POS_SERIAL=COM3;FRAMING=8N1.5") << "FRAMING";
#ifdef Q_OS_WIN
    QTest::newRow("framing 5N2") << QByteArray("POS_SERIAL=COM3;FRAMING=5N2") << "FRAMING";
#endif
    QTest::newRow("flow dtr") << QByteArray("POS_SERIAL=/dev/ttyS0;FLOW=dtrdsr") << "FLOW";
    QTest::newRow("tap 2") << QByteArray("POS_SERIAL=/dev/ttyS0;POS_SERIAL_TAP=2")
                           << "POS_SERIAL_TAP";
    QTest::newRow("baud without a line") << QByteArray("BAUD=9600") << "BAUD";
    QTest::newRow("tap without a line") << QByteArray("POS_SERIAL_TAP=1") << "POS_SERIAL_TAP";
    QTest::newRow("printer baud, network printer")
        << QByteArray("RECEIPT_PRINTER=10.0.0.9:9100;PRINTER_BAUD=9600") << "PRINTER_BAUD";
    QTest::newRow("printer framing")
        << QByteArray("RECEIPT_PRINTER=serial:COM4;PRINTER_FRAMING=8N") << "PRINTER_FRAMING";
}

void TestPrinterKeys::badValues() {
    QFETCH(QByteArray, keys);
    QFETCH(QString, badKey);
    QString key;
    QString why;
    QVERIFY(!parse(keys, &key, &why));
    QCOMPARE(key, badKey);
    QVERIFY2(why.startsWith('"'), qPrintable(why));
}

void TestPrinterKeys::portRule_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("port");  // 0: refused
    QTest::newRow("1") << QByteArray("1") << 1;
    QTest::newRow("65535") << QByteArray("65535") << 65535;
    QTest::newRow("leading zeros") << QByteArray("0009100") << 9100;
    QTest::newRow("0") << QByteArray("0") << 0;
    QTest::newRow("65536") << QByteArray("65536") << 0;
    QTest::newRow("huge") << QByteArray("99999999999999999999") << 0;
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("blank inside") << QByteArray("91 00") << 0;
    QTest::newRow("hex") << QByteArray("0x10") << 0;
}

void TestPrinterKeys::portRule() {
    QFETCH(QByteArray, text);
    QFETCH(int, port);
    const std::optional<quint16> parsed = printer_keys::parsePortStrict(text);
    QCOMPARE(parsed.value_or(0), port);
}

QTEST_GUILESS_MAIN(TestPrinterKeys)
#include "tst_printer_keys.moc"
