#include "printer_line/printer_keys.h"

#include <algorithm>

#include "platform/ip_address.h"
#include "settings/setting_numbers.h"

namespace {

// Only Windows drives 1.5 stop bits, and only with 5 data bits, and it refuses 2 stop bits
// with 5; on Linux opening a line with 1.5 fails. The check refuses what the system would,
// rather than let a row never open.
#ifdef Q_OS_WIN
constexpr bool kOneAndHalfStopBits = true;
#else
constexpr bool kOneAndHalfStopBits = false;
#endif

constexpr qint32 kMinBaud = 50;
constexpr qint32 kMaxBaud = 4000000;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<qint32> baudRate(QByteArrayView text) {
    return setting_numbers::digitsValue(text, kMinBaud, kMaxBaud);
}

std::optional<SerialSettings::Flow> flowNamed(QByteArrayView name) {
    if (name == "none") {
        return SerialSettings::Flow::kNone;
    }
    if (name == "rtscts") {
        return SerialSettings::Flow::kRtsCts;
    }
    if (name == "xonxoff") {
        return SerialSettings::Flow::kXonXoff;
    }
    return std::nullopt;
}

bool isHostName(QByteArrayView host) {
    if (host.isEmpty() || host.size() > 253) {
        return false;
    }
    qsizetype label = 0;
    char previous = '.';
    for (const char c : host) {
        const bool alnum = isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (c == '.') {
            if (label == 0 || previous == '-') {
                return false;
            }
            label = 0;
        } else if (alnum || (c == '-' && label > 0)) {
            if (++label > 63) {
                return false;
            }
        } else {
            return false;
        }
        previous = c;
    }
    // A name that is all digits and dots is a mistyped address, never a name to look up.
    const bool numeric =
        std::all_of(host.begin(), host.end(), [](char c) { return isDigit(c) || c == '.'; });
    return previous != '-' && !numeric;
}

}  // namespace

namespace printer_keys {

std::optional<quint16> parsePortStrict(QByteArrayView text) {
    const std::optional<int> port = setting_numbers::digitsValue(text, 1, 65535);
    return port ? std::optional<quint16>(quint16(*port)) : std::nullopt;
}

std::optional<std::pair<QString, quint16>> parseHostPort(QByteArrayView text) {
    const qsizetype colon = text.lastIndexOf(':');
    if (colon < 0) {
        return std::nullopt;
    }
    const QByteArrayView host = text.first(colon);
    const std::optional<quint16> port = parsePortStrict(text.sliced(colon + 1));
    if (!port) {
        return std::nullopt;
    }
    if (host.startsWith('[') && host.endsWith(']') && host.size() > 2) {
        const QString inner = QString::fromLatin1(host.sliced(1, host.size() - 2));
        const std::optional<QHostAddress> address = ip_address::parseDialTarget(inner);
        if (!address || address->protocol() != QAbstractSocket::IPv6Protocol) {
            return std::nullopt;
        }
        return std::pair(inner, *port);
    }
    if (host.contains(' ')) {
        return std::nullopt;
    }
    // Names are folded to lower case so that a reload sees "Printer" and "printer" as one;
    // an IPv6 scope above is kept as written, since interface names may differ by case.
    const QString name = QString::fromLatin1(host).toLower();
    if (ip_address::parseDottedQuad(name) || isHostName(host)) {
        return std::pair(name, *port);
    }
    return std::nullopt;
}

bool parseFraming(QByteArrayView text, SerialSettings& settings) {
    if ((text.size() != 3 && text.size() != 5) || text[0] < '5' || text[0] > '8') {
        return false;
    }
    const auto dataBits = static_cast<SerialSettings::DataBits>(text[0] - '0');
    SerialSettings::Parity parity;
    switch (text[1]) {
        case 'n':
            parity = SerialSettings::Parity::kNone;
            break;
        case 'e':
            parity = SerialSettings::Parity::kEven;
            break;
        case 'o':
            parity = SerialSettings::Parity::kOdd;
            break;
        case 'm':
            parity = SerialSettings::Parity::kMark;
            break;
        case 's':
            parity = SerialSettings::Parity::kSpace;
            break;
        default:
            return false;
    }
    const QByteArrayView stop = text.sliced(2);
    SerialSettings::StopBits stopBits;
    if (stop == "1") {
        stopBits = SerialSettings::StopBits::kOne;
    } else if (stop == "2") {
        stopBits = SerialSettings::StopBits::kTwo;
    } else if (stop == "1.5" && kOneAndHalfStopBits) {
        stopBits = SerialSettings::StopBits::kOneAndHalf;
    } else {
        return false;
    }
    const bool fiveBits = dataBits == SerialSettings::DataBits::k5;
    if ((stopBits == SerialSettings::StopBits::kOneAndHalf && !fiveBits) ||
        (stopBits == SerialSettings::StopBits::kTwo && fiveBits && kOneAndHalfStopBits)) {
        return false;
    }
    settings.dataBits = dataBits;
    settings.parity = parity;
    settings.stopBits = stopBits;
    return true;
}

}  // namespace printer_keys

bool PrinterLineOptions::any() const {
    return printer != Printer::kNone || status != PrinterStatus::kNone || posSerial.has_value();
}

std::optional<PrinterLineOptions> PrinterLineOptions::parse(const Lookup& value, QString* badKey,
                                                            QString* why) {
    const auto bad = [&](const char* key, const QByteArray& text, const QString& reason) {
        if (badKey != nullptr) {
            *badKey = QString::fromLatin1(key);
        }
        if (why != nullptr) {
            *why = QStringLiteral("\"%1\": %2").arg(QString::fromUtf8(text), reason);
        }
        return std::optional<PrinterLineOptions>();
    };
    const auto raw = [&](const char* key) {
        const std::optional<QByteArray> found = value(key);
        return found ? found->trimmed() : QByteArray();
    };
    const auto text = [&](const char* key) { return raw(key).toLower(); };

    // The line settings of one serial device from its three keys; false after bad().
    const auto serialKeys = [&](const char* baudKey, const char* framingKey, const char* flowKey,
                                SerialSettings& settings) {
        if (const QByteArray baud = text(baudKey); !baud.isEmpty()) {
            const std::optional<qint32> rate = baudRate(baud);
            if (!rate) {
                bad(baudKey, baud,
                    QStringLiteral("expected a baud rate from %1 to %2")
                        .arg(kMinBaud)
                        .arg(kMaxBaud));
                return false;
            }
            settings.baud = *rate;
        }
        if (const QByteArray framing = text(framingKey);
            !framing.isEmpty() && !printer_keys::parseFraming(framing, settings)) {
            bad(framingKey, framing,
                kOneAndHalfStopBits
                    ? QStringLiteral("expected data bits 5 to 8, parity N, E, O, M or S and "
                                     "stop bits 1, 1.5 (with 5 data bits) or 2 (with 6 to 8), "
                                     "as in 8N1")
                    : QStringLiteral("expected data bits 5 to 8, parity N, E, O, M or S and "
                                     "stop bits 1 or 2, as in 8N1"));
            return false;
        }
        if (const QByteArray flow = text(flowKey); !flow.isEmpty()) {
            const std::optional<SerialSettings::Flow> control = flowNamed(flow);
            if (!control) {
                bad(flowKey, flow, QStringLiteral("expected none, rtscts or xonxoff"));
                return false;
            }
            settings.flow = *control;
        }
        return true;
    };
    // A qualifying key set while what it qualifies is not; false after bad().
    const auto orphan = [&](std::initializer_list<const char*> keys, const QString& reason) {
        for (const char* key : keys) {
            if (const QByteArray set = raw(key); !set.isEmpty()) {
                bad(key, set, reason);
                return true;
            }
        }
        return false;
    };

    PrinterLineOptions options;

    const QByteArray posSerial = raw("POS_SERIAL");
    if (!posSerial.isEmpty()) {
        SerialSettings settings;
        settings.port = QString::fromUtf8(posSerial);
        if (!serialKeys("BAUD", "FRAMING", "FLOW", settings)) {
            return std::nullopt;
        }
        options.posSerial = settings;
    } else if (orphan({"BAUD", "FRAMING", "FLOW"},
                      QStringLiteral("needs POS_SERIAL, the serial line it sets"))) {
        return std::nullopt;
    }

    const QByteArray tap = text("POS_SERIAL_TAP");
    if (!tap.isEmpty() && tap != "0" && tap != "1") {
        return bad("POS_SERIAL_TAP", tap, QStringLiteral("expected 0 or 1"));
    }
    options.tap = tap == "1";
    if (options.tap && !options.posSerial) {
        return bad("POS_SERIAL_TAP", tap, QStringLiteral("needs POS_SERIAL, the line to tap"));
    }

    const QByteArray printer = raw("RECEIPT_PRINTER");
    const QByteArray lowerPrinter = printer.toLower();
    if (lowerPrinter.startsWith("serial:")) {
        const QByteArray device = printer.sliced(7).trimmed();
        if (device.isEmpty()) {
            return bad("RECEIPT_PRINTER", printer,
                       QStringLiteral("expected a serial device after serial:"));
        }
        options.printer = Printer::kSerial;
        options.printerSerial.port = QString::fromUtf8(device);
        if (!serialKeys("PRINTER_BAUD", "PRINTER_FRAMING", "PRINTER_FLOW", options.printerSerial)) {
            return std::nullopt;
        }
    } else {
        if (!printer.isEmpty()) {
            const auto endpoint = printer_keys::parseHostPort(printer);
            if (!endpoint) {
                return bad("RECEIPT_PRINTER", printer,
                           QStringLiteral("expected host:port (an IPv4 address, a host name or "
                                          "[IPv6], and a port from 1 to 65535) or "
                                          "serial:device"));
            }
            options.printer = Printer::kTcp;
            options.printerHost = endpoint->first;
            options.printerPort = endpoint->second;
        }
        if (orphan({"PRINTER_BAUD", "PRINTER_FRAMING", "PRINTER_FLOW"},
                   QStringLiteral("needs RECEIPT_PRINTER=serial:device, the line it sets"))) {
            return std::nullopt;
        }
    }
    if (options.printer != Printer::kNone && options.tap) {
        return bad("RECEIPT_PRINTER", printer,
                   QStringLiteral("a tapped line (POS_SERIAL_TAP=1) cannot carry the printer's "
                                  "answers back to the till"));
    }

    const QByteArray status = text("PRINTER_STATUS");
    if (status == "escpos") {
        options.status = PrinterStatus::kEscPos;
    } else if (status == "star") {
        options.status = PrinterStatus::kStar;
    } else if (!status.isEmpty() && status != "none") {
        return bad("PRINTER_STATUS", status, QStringLiteral("expected escpos, star or none"));
    }
    if (options.status != PrinterStatus::kNone && options.tap) {
        return bad("PRINTER_STATUS", status,
                   QStringLiteral("a tapped line (POS_SERIAL_TAP=1) is never written to, so "
                                  "nothing can be answered on it"));
    }
    if (options.status != PrinterStatus::kNone && options.printer != Printer::kNone) {
        return bad("PRINTER_STATUS", status,
                   QStringLiteral("RECEIPT_PRINTER is set, and the real printer answers"));
    }
    return options;
}
