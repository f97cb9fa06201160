#include "pos/allow_list.h"

#include <QRegularExpression>
#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

#include "platform/ip_address.h"

namespace {

std::optional<QPair<QHostAddress, int>> parseEntry(const QString& entry) {
    const qsizetype slash = entry.indexOf(QLatin1Char('/'));
    const QString addressText = slash < 0 ? entry : entry.left(slash);
    // The same dotted quad as a DVR address, so '010.1.2.3' means 10.1.2.3 in both; Qt's
    // own reading would also take shorthand such as '10.1' for some other range.
    const std::optional<QHostAddress> parsed = ip_address::parseAllowAddress(addressText);
    if (!parsed) {
        return std::nullopt;
    }
    const QHostAddress address = *parsed;
    const int bits = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    int prefix = bits;
    if (slash >= 0) {
        const QString prefixText = entry.mid(slash + 1);
        bool ok = false;
        prefix = prefixText.toInt(&ok, 10);
        const bool digitsOnly =
            !prefixText.isEmpty() && prefixText.size() <= 3 &&
            std::all_of(prefixText.begin(), prefixText.end(), [](QChar c) { return c.isDigit(); });
        if (!ok || !digitsOnly || prefix < 0 || prefix > bits) {
            return std::nullopt;
        }
    }
    return QPair<QHostAddress, int>(address, prefix);
}

// Start-up reads ALLOW in [Connection 1] to [Connection 16] and nowhere else.
constexpr int kRowSections = 16;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

int editDistance(QByteArrayView a, QByteArrayView b) {
    std::vector<int> row(size_t(b.size()) + 1);
    std::iota(row.begin(), row.end(), 0);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int above = row[size_t(j)];
            row[size_t(j)] =
                std::min({above + 1, row[size_t(j - 1)] + 1, diagonal + int(a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[size_t(b.size())];
}

// Why a line a reader would take for an ALLOW line is not written as one: nullopt when it
// does not look like one at all, empty when ReadIni takes it for the key.
std::optional<QString> allowLineFlaw(QByteArrayView line) {
    if (isIniKeyLine(line, "ALLOW")) {
        return QString();
    }
    qsizetype at = 0;
    while (at < line.size() && isBlank(line[at])) {
        ++at;
    }
    const qsizetype keyStart = at;
    while (at < line.size() && !isBlank(line[at]) && !QByteArrayView("=:[").contains(line[at])) {
        ++at;
    }
    const QByteArrayView key = line.sliced(keyStart, at - keyStart);
    const QByteArray lower = key.toByteArray().toLower();
    // Short words such as "all" or "low" are as near to "allow" as a typo is, and no typo.
    if (!lower.startsWith("allow") && (lower.size() < 4 || editDistance(lower, "allow") > 2)) {
        return std::nullopt;
    }
    const qsizetype keyEnd = at;
    while (at < line.size() && isBlank(line[at])) {
        ++at;
    }
    const char separator = at < line.size() ? line[at] : '\0';
    if (keyStart > 0) {
        return QStringLiteral("blanks before the key");
    }
    if (lower != "allow") {
        return QStringLiteral("the key is \"%1\", not ALLOW").arg(QString::fromUtf8(key));
    }
    if (separator == ':') {
        return QStringLiteral("\":\" instead of \"=\"");
    }
    if (separator == '=' && at > keyEnd) {
        return QStringLiteral("blanks before \"=\"");
    }
    return QStringLiteral("no \"=\" after the key");
}

int rowOf(QByteArrayView heading) {
    for (int n = 1; n <= kRowSections; ++n) {
        if (iniOpensSection(heading, "Connection " + QByteArray::number(n))) {
            return n;
        }
    }
    return 0;
}

// A line as written, made safe for one log line: control bytes other than TAB are shown
// as codes, and a runaway line is cut.
QString shown(QByteArrayView text) {
    constexpr qsizetype kMaxShown = 200;
    QByteArray safe;
    for (const char c : text.first(qMin(text.size(), kMaxShown))) {
        const auto u = static_cast<unsigned char>(c);
        safe += (u < 0x20 && c != '\t') || u == 0x7f
                    ? QByteArray("\\x") + QByteArray::number(u, 16).rightJustified(2, '0')
                    : QByteArray(1, c);
    }
    return QString::fromUtf8(safe) + (text.size() > kMaxShown ? QStringLiteral("...") : QString());
}

}  // namespace

QList<StrayAllowLine> strayAllowLines(const QList<IniLine>& lines) {
    QList<StrayAllowLine> warnings;
    std::array<int, kRowSections + 1> readLine{};  // by row: the number of the line read
    QByteArray previousHeading;
    for (const IniLine& line : lines) {
        // A section line still belongs, for the reader, to the section it ends.
        const QByteArray heading = line.isHeading ? previousHeading : line.heading;
        previousHeading = line.heading;
        const int row = rowOf(heading);
        const QList<QByteArray> pieces = line.text.split('\n');
        for (qsizetype k = 0; k < pieces.size(); ++k) {
            const std::optional<QString> flaw = allowLineFlaw(pieces[k]);
            if (!flaw) {
                continue;
            }
            QString why;
            if (k > 0) {
                why = QStringLiteral("a lone LF does not end a line; this is part of line %1")
                          .arg(line.number);
            } else if (line.isHeading) {
                why = QStringLiteral("a line holding \"[\" is read as a section heading");
            } else if (!flaw->isEmpty()) {
                why = *flaw;
            } else if (row == 0) {
                why = QStringLiteral("ALLOW is read only in [Connection 1] to [Connection 16]");
            } else if (readLine[size_t(row)] != 0) {
                why = QStringLiteral("line %1 is read instead, as the first in file order")
                          .arg(readLine[size_t(row)]);
            } else {
                readLine[size_t(row)] = line.number;
                continue;
            }
            const QString where = row > 0 ? QStringLiteral("channel %1").arg(row)
                                  : heading.isEmpty()
                                      ? QStringLiteral("before any section")
                                      : QStringLiteral("section \"%1\"").arg(shown(heading));
            // In one pass: a "%1" in the line or the heading must stay as written.
            const int number = line.number + int(k);
            warnings.append({row, number,
                             QStringLiteral("%1: line %2 \"%3\" is not read as an ALLOW line (%4)")
                                 .arg(where, QString::number(number), shown(pieces[k]), why)});
        }
    }
    return warnings;
}

std::optional<AllowList> AllowList::parse(const QByteArray& text, QString* badEntry) {
    static const QRegularExpression kSeparators(QStringLiteral("[,\\s]+"));
    AllowList list;
    for (const QString& entry : QString::fromLatin1(text).split(kSeparators, Qt::SkipEmptyParts)) {
        const auto range = parseEntry(entry);
        if (!range) {
            if (badEntry) {
                *badEntry = entry;
            }
            return std::nullopt;
        }
        list.ranges_.append(*range);
    }
    return list;
}

bool AllowList::allows(const QHostAddress& peer) const {
    if (ranges_.isEmpty()) {
        return true;
    }
    const QHostAddress plain = ip_address::plain(peer);
    for (const auto& [network, prefix] : ranges_) {
        if (plain.protocol() == network.protocol() && plain.isInSubnet(network, prefix)) {
            return true;
        }
    }
    return false;
}

QString AllowList::describe() const {
    if (ranges_.isEmpty()) {
        return QStringLiteral("any address");
    }
    QStringList entries;
    for (const auto& [network, prefix] : ranges_) {
        const int bits = network.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        entries.append(prefix == bits
                           ? network.toString()
                           : QStringLiteral("%1/%2").arg(network.toString()).arg(prefix));
    }
    return entries.join(QStringLiteral(", "));
}
