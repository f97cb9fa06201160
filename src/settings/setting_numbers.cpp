#include "settings/setting_numbers.h"

#include <QByteArray>
#include <limits>

#include "dvr/address_checks.h"

namespace setting_numbers {

std::optional<int> boundedValue(QByteArrayView text, int low, int high) {
    const QByteArray trimmed = text.trimmed().toByteArray();
    if (trimmed.isEmpty()) {
        return std::nullopt;
    }
    bool ok = false;
    const qlonglong value = trimmed.toLongLong(&ok, 10);
    if (!ok || value < low || value > high) {
        return std::nullopt;
    }
    return int(value);
}

std::optional<int> digitsValue(QByteArrayView text, int low, int high) {
    if (text.isEmpty()) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (const char c : text) {
        // Stops once past the range, so no length of digits can overflow.
        if (c < '0' || c > '9' || (value = value * 10 + (c - '0')) > high) {
            return std::nullopt;
        }
    }
    return value >= low ? std::optional<int>(int(value)) : std::nullopt;
}

std::optional<int> int16Value(QByteArrayView text) {
    return boundedValue(text, -32768, 32767);
}

std::optional<int> listenPortNumber(const QString& text) {
    return boundedValue(text.toLatin1(), std::numeric_limits<qint32>::min(),
                        std::numeric_limits<qint32>::max());
}

std::optional<int> listenPort(const QString& text) {
    const std::optional<int> port = listenPortNumber(text);
    return port && *port >= 1 && *port <= 65535 ? port : std::nullopt;
}

std::optional<int> dvrPort(const QString& text) {
    if (!IsDigitsOnly(text)) {
        return std::nullopt;
    }
    qsizetype first = 0;
    while (first < text.size() - 1 && text[first] == QLatin1Char('0')) {
        ++first;
    }
    const QString digits = text.mid(first);
    if (digits.size() > 5) {
        return std::nullopt;
    }
    const int value = digits.toInt();
    return value <= 65535 ? std::optional<int>(value) : std::nullopt;
}

}  // namespace setting_numbers
