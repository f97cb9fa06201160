#include "dvr/address_checks.h"

#include "platform/ip_address.h"

namespace {

// The length is counted in 16 bits by the checks' callers' tradition; a longer text is
// simply not a port.
constexpr qsizetype kMaxCountableLength = 32767;

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
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
    // One reading of an address for the check and the dialler, so what passes is what is
    // dialled.
    return ip_address::isDvrAddress(text);
}
