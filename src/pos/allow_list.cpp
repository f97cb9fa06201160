#include "pos/allow_list.h"

#include <QRegularExpression>

namespace {

// Qt also takes shorthand such as "10.1" or "192.168.1." for an address; a typo like that
// must fail, not quietly open the channel to some other range.
bool isDottedQuad(const QString& text) {
    static const QRegularExpression kQuad(
        QStringLiteral("^(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)(\\.(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?"
                       "\\d)){3}$"));
    return kQuad.match(text).hasMatch();
}

std::optional<QPair<QHostAddress, int>> parseEntry(const QString& entry) {
    const qsizetype slash = entry.indexOf(QLatin1Char('/'));
    const QString addressText = slash < 0 ? entry : entry.left(slash);
    QHostAddress address;
    const bool v6 = addressText.contains(QLatin1Char(':'));
    if (!(v6 || isDottedQuad(addressText)) || !address.setAddress(addressText) ||
        !address.scopeId().isEmpty()) {
        return std::nullopt;
    }
    address = plainAddress(address);
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

}  // namespace

QHostAddress plainAddress(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
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
    const QHostAddress plain = plainAddress(peer);
    for (const auto& [network, prefix] : ranges_) {
        if (plain.protocol() == network.protocol() && plain.isInSubnet(network, prefix)) {
            return true;
        }
    }
    return false;
}
