#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <optional>

// How one serial line is driven: the device and its line settings. The spelling of the
// settings file is BAUD=9600, FRAMING=8N1 (data bits 5 to 8, parity N, E, O, M or S, stop
// bits 1 or 2, and on Windows 1.5 with 5 data bits, where 2 needs 6 to 8) and
// FLOW=none|rtscts|xonxoff.
//
// The enums are the settings file's own, not a serial library's, so that reading and checking
// the file needs none; each platform's serial driver converts them when it opens the device.
struct SerialSettings {
    enum class DataBits { k5 = 5, k6 = 6, k7 = 7, k8 = 8 };
    enum class Parity { kNone, kEven, kOdd, kMark, kSpace };
    enum class StopBits { kOne, kOneAndHalf, kTwo };
    enum class Flow { kNone, kRtsCts, kXonXoff };

    QString port;  // /dev/ttyUSB0, or COM3 on Windows
    qint32 baud = 9600;
    DataBits dataBits = DataBits::k8;
    Parity parity = Parity::kNone;
    StopBits stopBits = StopBits::kOne;
    Flow flow = Flow::kNone;

    bool operator==(const SerialSettings&) const = default;
};

// What answers the status requests of a till when no printer is behind the channel.
enum class PrinterStatus { kNone, kEscPos, kStar };

// A channel's printer line, read from its section of PosKavelin.ini. Every key is optional
// and off when absent or blank, so a channel that names none of them works as before.
//
//   RECEIPT_PRINTER=host:port     the real printer, on a raw TCP port: an IPv4 address, a
//                                 host name or a bracketed IPv6 address ([::1]:9100)
//   RECEIPT_PRINTER=serial:dev    the real printer on a serial line (serial:COM3 on
//                                 Windows), set with PRINTER_BAUD, PRINTER_FRAMING and
//                                 PRINTER_FLOW
//   PRINTER_STATUS=escpos|star    answer the till's status requests as a healthy printer;
//                                 "none" is off
//   POS_SERIAL=dev                the terminal is this serial line instead of POS_PORT, set
//                                 with BAUD, FRAMING and FLOW
//   POS_SERIAL_TAP=0|1            receive only: the bridge never writes to POS_SERIAL
//
// A key that only qualifies another (BAUD without POS_SERIAL, PRINTER_BAUD without a serial
// printer, POS_SERIAL_TAP=1 without POS_SERIAL) is refused rather than ignored, so that a
// setting that cannot take effect is never taken for one that did. PRINTER_STATUS is refused
// beside RECEIPT_PRINTER (the real printer answers) and on a tapped line (the bridge may not
// write to it); RECEIPT_PRINTER is refused on a tapped line for the same reason.
//
// Values are compared without case after trimming blanks, except the device names, which
// are kept as written (Linux device names are case-sensitive).
struct PrinterLineOptions {
    enum class Printer { kNone, kTcp, kSerial };
    Printer printer = Printer::kNone;
    QString printerHost;  // kTcp: an address or name, IPv6 without its brackets
    quint16 printerPort = 0;
    SerialSettings printerSerial;  // kSerial
    PrinterStatus status = PrinterStatus::kNone;
    std::optional<SerialSettings> posSerial;
    bool tap = false;

    bool operator==(const PrinterLineOptions&) const = default;

    // False when the channel has no printer line and works as a plain TCP listener.
    bool any() const;

    using Lookup = std::function<std::optional<QByteArray>(const char* key)>;
    // The options of one channel, or nullopt with the offending key and the reason in
    // badKey and why (either may be null).
    static std::optional<PrinterLineOptions> parse(const Lookup& value, QString* badKey,
                                                   QString* why);
};

namespace printer_keys {

// The one rule for a port of the printer line: decimal digits only (no sign, no blanks),
// 1 to 65535. Leading zeros are allowed, as in every other port of the settings file.
std::optional<quint16> parsePortStrict(QByteArrayView text);

// host:port as RECEIPT_PRINTER takes it: a dotted quad, a host name (letters, digits,
// hyphens and dots, labels of at most 63 characters; folded to lower case) or a bracketed
// IPv6 literal, a scope allowed (returned without its brackets).
std::optional<std::pair<QString, quint16>> parseHostPort(QByteArrayView text);

// FRAMING's value ("8N1", "7E2", "5n1.5") read into `settings`; false when it is not one.
bool parseFraming(QByteArrayView text, SerialSettings& settings);

}  // namespace printer_keys
