#include "platform/ip_address.h"

namespace ip_address {

namespace {

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

std::optional<quint32> parseOctet(QStringView part) {
    while (!part.isEmpty() && part.front() == QLatin1Char(' ')) {
        part = part.sliced(1);
    }
    while (!part.isEmpty() && part.back() == QLatin1Char(' ')) {
        part.chop(1);
    }
    if (part.isEmpty()) {
        return std::nullopt;
    }
    // Capped as it grows, so a long run of digits cannot overflow.
    quint32 value = 0;
    for (QChar c : part) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        value = value * 10 + quint32(c.unicode() - '0');
        if (value > 255) {
            return std::nullopt;
        }
    }
    return value;
}

std::optional<QHostAddress> parseIpv6(QStringView text) {
    QHostAddress address;
    if (!text.contains(QLatin1Char(':')) || !address.setAddress(text.toString()) ||
        address.protocol() != QAbstractSocket::IPv6Protocol) {
        return std::nullopt;
    }
    return address;
}

}  // namespace

std::optional<quint32> parseDottedQuad(QStringView text) {
    quint32 address = 0;
    int parts = 0;
    qsizetype begin = 0;
    for (;;) {
        const qsizetype dot = text.indexOf(QLatin1Char('.'), begin);
        const QStringView part = text.sliced(begin, (dot < 0 ? text.size() : dot) - begin);
        const std::optional<quint32> octet = parseOctet(part);
        if (!octet || ++parts > 4) {
            return std::nullopt;
        }
        address = (address << 8) | *octet;
        if (dot < 0) {
            break;
        }
        begin = dot + 1;
    }
    if (parts != 4) {
        return std::nullopt;
    }
    return address;
}

bool isDvrAddress(QStringView text) {
    return parseDottedQuad(text).has_value();
}

std::optional<QHostAddress> parseDialTarget(QStringView text) {
    if (const auto quad = parseDottedQuad(text)) {
        return QHostAddress(*quad);
    }
    return parseIpv6(text.trimmed());
}

std::optional<QHostAddress> parseAllowAddress(QStringView text) {
    if (text.contains(QLatin1Char(' '))) {
        return std::nullopt;
    }
    if (const auto quad = parseDottedQuad(text)) {
        return QHostAddress(*quad);
    }
    const std::optional<QHostAddress> v6 = parseIpv6(text);
    if (!v6 || !v6->scopeId().isEmpty()) {
        return std::nullopt;
    }
    return plain(*v6);
}

std::optional<std::pair<QHostAddress, quint16>> parseListenEndpoint(QStringView text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0) {
        return std::nullopt;
    }
    const QStringView host = text.first(colon);
    const QStringView port = text.sliced(colon + 1);
    quint32 number = 0;
    for (QChar c : port) {
        if (!isDigit(c) || (number = number * 10 + quint32(c.unicode() - '0')) > 65535) {
            return std::nullopt;
        }
    }
    if (port.isEmpty() || number == 0) {
        return std::nullopt;
    }
    std::optional<QHostAddress> address;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        address = parseIpv6(host.sliced(1, host.size() - 2));
        if (address && !address->scopeId().isEmpty()) {
            address.reset();
        }
    } else if (const auto quad = parseDottedQuad(host); quad && !host.contains(QLatin1Char(' '))) {
        address = QHostAddress(*quad);
    }
    if (!address) {
        return std::nullopt;
    }
    return std::pair(*address, quint16(number));
}

QHostAddress plain(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

}  // namespace ip_address
