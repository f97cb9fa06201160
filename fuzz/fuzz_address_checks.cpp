// Differential fuzzing of IsDigitsOnly and IsValidIP against models built another way:
// a one-pass state machine over the UTF-16 code units, and for short texts also a
// regular expression, so a mistake shared by two of the three is unlikely.
//
// Input layout: the first byte picks how the rest becomes a QString (UTF-8, UTF-16 in
// either byte order, Latin-1) and, for one choice, stretches it to a length near the
// 32767 limit of IsDigitsOnly, which no input of ordinary size would ever reach.

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "dvr/address_checks.h"

namespace {

constexpr qsizetype kDigitsLimit = 32767;

bool isDigitUnit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool modelDigitsOnly(const QString& text) {
    const qsizetype n = text.size();
    if (n == 0 || n > kDigitsLimit) {
        return false;
    }
    const char16_t* units = reinterpret_cast<const char16_t*>(text.utf16());
    for (qsizetype i = n - 1; i >= 0; --i) {
        if (!isDigitUnit(units[i])) {
            return false;
        }
    }
    return true;
}

// One pass, no splitting: every part walks blanks, digits, blanks; a dot closes it.
bool modelValidIp(const QString& text) {
    enum class State { kBefore, kDigits, kAfter };
    State state = State::kBefore;
    int dots = 0;
    int value = 0;
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        if (c == u' ') {
            if (state == State::kDigits) {
                state = State::kAfter;
            }
        } else if (isDigitUnit(c)) {
            if (state == State::kAfter) {
                return false;
            }
            if (state == State::kBefore) {
                value = 0;
            }
            state = State::kDigits;
            value = value * 10 + (c - u'0');
            if (value > 255) {
                return false;
            }
        } else if (c == u'.') {
            if (state == State::kBefore || ++dots > 3) {
                return false;
            }
            state = State::kBefore;
        } else {
            return false;
        }
    }
    return dots == 3 && state != State::kBefore;
}

// Everything but the bytes the grammar names maps to one stand-in, so that the
// expression sees ASCII only and code units beyond it cannot pass for digits.
std::string narrowForRegex(const QString& text) {
    std::string out;
    out.reserve(static_cast<size_t>(text.size()));
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        out.push_back(isDigitUnit(c) || c == u'.' || c == u' ' ? static_cast<char>(c) : 'x');
    }
    return out;
}

// libstdc++'s matcher recurses per character; longer texts would only test its stack.
constexpr size_t kRegexLimit = 200;

bool regexValidIp(const std::string& narrow) {
    static const std::regex kIp(
        "( *0*(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9]) *\\.){3}"
        " *0*(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9]) *");
    return std::regex_match(narrow, kIp);
}

bool regexDigitsOnly(const std::string& narrow) {
    static const std::regex kDigits("[0-9]+");
    return std::regex_match(narrow, kDigits);
}

[[noreturn]] void mismatch(const char* what, const QString& text, bool got, bool want) {
    const QByteArray shown = text.left(200).toUtf8().toPercentEncoding(" .");
    std::fprintf(stderr, "%s(\"%s\") (length %lld) gave %d, model says %d\n", what,
                 shown.constData(), static_cast<long long>(text.size()), got, want);
    std::abort();
}

void check(const QString& text) {
    const bool digits = IsDigitsOnly(text);
    const bool wantDigits = modelDigitsOnly(text);
    if (digits != wantDigits) {
        mismatch("IsDigitsOnly", text, digits, wantDigits);
    }
    const bool ip = IsValidIP(text);
    const bool wantIp = modelValidIp(text);
    if (ip != wantIp) {
        mismatch("IsValidIP", text, ip, wantIp);
    }
    if (static_cast<size_t>(text.size()) <= kRegexLimit) {
        const std::string narrow = narrowForRegex(text);
        if (regexDigitsOnly(narrow) != wantDigits) {
            mismatch("digits model vs expression", text, wantDigits, !wantDigits);
        }
        if (regexValidIp(narrow) != wantIp) {
            mismatch("address model vs expression", text, wantIp, !wantIp);
        }
    }
}

QString fromUtf16(const uint8_t* data, size_t size, bool bigEndian) {
    QString text(static_cast<qsizetype>(size / 2), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(text.data());
    for (size_t i = 0; i + 1 < size; i += 2) {
        const unsigned hi = bigEndian ? data[i] : data[i + 1];
        const unsigned lo = bigEndian ? data[i + 1] : data[i];
        out[i / 2] = static_cast<char16_t>(hi << 8 | lo);
    }
    return text;
}

// Repeats the text until it is a few units short of, at or beyond the limit.
QString stretched(const QString& text, uint8_t selector) {
    if (text.isEmpty()) {
        return text;
    }
    const qsizetype target = kDigitsLimit - 4 + (selector % 9);
    QString out;
    out.reserve(target);
    while (out.size() < target) {
        out += text;
    }
    out.truncate(target);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        check(QString());
        return 0;
    }
    const uint8_t mode = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const qsizetype n = static_cast<qsizetype>(size - 1);
    switch (mode % 5) {
        case 0:
            check(QString::fromUtf8(bytes, n));
            break;
        case 1:
            check(fromUtf16(data + 1, size - 1, false));
            break;
        case 2:
            check(fromUtf16(data + 1, size - 1, true));
            break;
        case 3:
            check(QString::fromLatin1(bytes, n));
            break;
        default:
            check(stretched(QString::fromUtf8(bytes, n), mode / 5));
            break;
    }
    return 0;
}
