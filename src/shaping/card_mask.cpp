#include "shaping/card_mask.h"

#include <QVarLengthArray>

namespace {

constexpr int kMinDigits = 13;
constexpr int kMaxDigits = 19;
constexpr int kKeptFirst = 6;
constexpr int kKeptLast = 4;
// Groups this short join a card number only when the whole run is one.
constexpr int kMinGroup = 3;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

struct Group {
    qsizetype start;
    int digits;
};

using Groups = QVarLengthArray<Group, 16>;

bool passesLuhn(const char* text, const Groups& groups, qsizetype first, qsizetype last) {
    int sum = 0;
    bool doubled = false;
    for (qsizetype g = last; g >= first; --g) {
        for (qsizetype i = groups[g].start + groups[g].digits - 1; i >= groups[g].start; --i) {
            int d = text[i] - '0';
            if (doubled) {
                d = d * 2 > 9 ? d * 2 - 9 : d * 2;
            }
            sum += d;
            doubled = !doubled;
        }
    }
    return sum % 10 == 0;
}

void maskGroups(char* text, const Groups& groups, qsizetype first, qsizetype last, int digits) {
    int index = 0;
    for (qsizetype g = first; g <= last; ++g) {
        for (qsizetype i = groups[g].start; i < groups[g].start + groups[g].digits; ++i, ++index) {
            if (index >= kKeptFirst && index < digits - kKeptLast) {
                text[i] = '*';
            }
        }
    }
}

// Every check reads the digits before any of them is masked: a stretch that is a card
// number must not be hidden by an overlapping one that was masked first.
void maskRun(char* text, const Groups& groups) {
    int total = 0;
    for (const Group& group : groups) {
        total += group.digits;
    }
    const qsizetype last = groups.size() - 1;
    if (total >= kMinDigits && total <= kMaxDigits && passesLuhn(text, groups, 0, last)) {
        maskGroups(text, groups, 0, last, total);
        return;
    }
    struct Stretch {
        qsizetype first, last;
        int digits;
    };
    QVarLengthArray<Stretch, 4> cards;
    for (qsizetype first = 0; first <= last; ++first) {
        int digits = 0;
        for (qsizetype end = first; end <= last; ++end) {
            if (groups[end].digits < kMinGroup) {
                break;
            }
            digits += groups[end].digits;
            if (digits > kMaxDigits) {
                break;
            }
            if (digits >= kMinDigits && (first != 0 || end != last) &&
                passesLuhn(text, groups, first, end)) {
                cards.append({first, end, digits});
            }
        }
    }
    for (const Stretch& card : cards) {
        maskGroups(text, groups, card.first, card.last, card.digits);
    }
}

}  // namespace

void maskCardNumbers(QByteArray& text, ByteForm form) {
    const qsizetype n = text.size();
    const char* const read = text.constData();
    qsizetype i = 0;
    // Finding no digit at all is the common case, and must not copy a shared array.
    while (i < n && !isDigit(read[i])) {
        ++i;
    }
    if (i == n) {
        return;
    }
    char* const s = text.data();
    i = 0;
    Groups groups;
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (form == ByteForm::kGb18030 && c >= 0x81 && c <= 0xFE) {
            i += i + 1 < n && isDigit(s[i + 1]) ? 4 : 2;
            continue;
        }
        if (!isDigit(s[i])) {
            ++i;
            continue;
        }
        groups.clear();
        for (;;) {
            const qsizetype start = i;
            while (i < n && isDigit(s[i])) {
                ++i;
            }
            groups.append({start, static_cast<int>(i - start)});
            if (i + 1 < n && (s[i] == ' ' || s[i] == '-') && isDigit(s[i + 1])) {
                ++i;
                continue;
            }
            break;
        }
        maskRun(s, groups);
    }
}
