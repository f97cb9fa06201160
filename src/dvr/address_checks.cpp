#include "dvr/address_checks.h"

#include <QStringList>

namespace {

// The length is counted in 16 bits by the checks' callers' tradition; a longer text is
// simply not a port.
constexpr qsizetype kMaxCountableLength = 32767;

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// One address part: blanks around it, then only decimal digits worth 0 to 255.
bool isOctetText(const QString& part) {
    qsizetype begin = 0;
    qsizetype end = part.size();
    while (begin < end && part[begin] == QLatin1Char(' ')) {
        ++begin;
    }
    while (end > begin && part[end - 1] == QLatin1Char(' ')) {
        --end;
    }
    if (begin == end) {
        return false;
    }
    int value = 0;
    for (qsizetype i = begin; i < end; ++i) {
        if (!isAsciiDigit(part[i])) {
            return false;
        }
        value = value * 10 + (part[i].unicode() - '0');
        if (value > 255) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsDigitsOnly(const QString& text) {
    if (text.isEmpty() || text.size() > kMaxCountableLength) {
        return false;
    }
    for (QChar c : text) {
        if (!isAsciiDigit(c)) {
            return false;
        }
    }
    return true;
}

bool IsValidIP(const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    int parts = 0;
    for (const QString& part : text.split(QLatin1Char('.'))) {
        ++parts;
        if (!isOctetText(part)) {
            return false;
        }
    }
    return parts == 4;
}
