#include "shaping/card_mask.h"

#include <QVarLengthArray>
#include <algorithm>

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

// The length of the character at `i`, or 0 when the text cuts it short.
qsizetype widthAt(QByteArrayView text, qsizetype i, ByteForm form) {
    return form == ByteForm::kGb18030 ? gb18030Length(text, i) : 1;
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
        if (!isDigit(s[i])) {
            // One cut short here is a byte alone, as it will be when nothing follows.
            i += std::max<qsizetype>(widthAt(text, i, form), 1);
            continue;
        }
        groups.clear();
        for (;;) {
            const qsizetype start = i;
            while (i < n && isDigit(s[i])) {
                ++i;
            }
            groups.append({start, static_cast<int>(i - start)});
            qsizetype next = i;
            while (next < n && isGroupSeparator(s[next])) {
                ++next;
            }
            if (next > i && next < n && isDigit(s[next])) {
                i = next;
                continue;
            }
            break;
        }
        maskRun(s, groups);
    }
}

TrailingRun trailingRun(QByteArrayView text, ByteForm form) {
    const char* const s = text.data();
    const qsizetype n = text.size();
    qsizetype runStart = n;
    // The starts and digit counts of the run's last groups: a card held back has at most
    // kMaxDigits - 1 digits, so no more groups than that can matter.
    QVarLengthArray<Group, kMaxDigits> groups;
    qsizetype i = 0;
    while (i < n) {
        const char c = s[i];
        if (isDigit(c)) {
            if (runStart == n) {
                runStart = i;
                groups.clear();
            }
            // A digit byte inside a GB18030 character before it ends no group of this run.
            if (runStart == i || !isDigit(s[i - 1])) {
                if (groups.size() == kMaxDigits) {
                    groups.erase(groups.begin());
                }
                groups.append({i, 0});
            }
            ++groups.back().digits;
            ++i;
        } else if (isGroupSeparator(c) && runStart != n) {
            ++i;
        } else {
            const qsizetype width = widthAt(text, i, form);
            if (width == 0) {
                // Whether the digit bytes of a character cut short are digits is up to the
                // bytes yet to come: it waits for them, as a run does.
                return {i, i};
            }
            runStart = n;
            i += width;
        }
    }
    TrailingRun tail{runStart, n};
    int digits = 0;
    for (qsizetype g = groups.size() - 1; runStart != n && g >= 0; --g) {
        digits += groups[g].digits;
        if (digits >= kMaxDigits) {
            break;
        }
        tail.holdStart = groups[g].start;
    }
    return tail;
}

void maskUnfinishedRun(QByteArray& text, qsizetype runStart, qsizetype from) {
    char* const s = text.data();
    int index = 0;
    for (qsizetype i = runStart; i < text.size(); ++i) {
        if (isDigit(s[i])) {
            if (i >= from && index >= kKeptFirst) {
                s[i] = '*';
            }
            ++index;
        }
    }
}

void maskLeadingRun(QByteArray& text, qsizetype from) {
    char* const s = text.data();
    for (qsizetype i = from; i < text.size() && isRunByte(s[i]); ++i) {
        if (isDigit(s[i])) {
            s[i] = '*';
        }
    }
}
