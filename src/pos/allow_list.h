#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <optional>

#include "settings/ini.h"

// Who may take a channel: IPv4 and IPv6 addresses and CIDR ranges, from the channel's
// "ALLOW" key. An empty list lets anyone in, as a file without the key always has.
class AllowList {
public:
    // Entries are separated by commas, blanks or both. nullopt when any entry is not an
    // address or a range; *badEntry then names the first such entry.
    static std::optional<AllowList> parse(const QByteArray& text, QString* badEntry);

    bool isEmpty() const { return ranges_.isEmpty(); }
    // An IPv4 peer that arrived as an IPv4-mapped IPv6 address matches IPv4 entries.
    bool allows(const QHostAddress& peer) const;
    // Who the list lets in, for the log: its entries in plain form, or "any address".
    QString describe() const;

    bool operator==(const AllowList&) const = default;

private:
    QList<QPair<QHostAddress, int>> ranges_;
};

// A line a reader of the settings file would take for a channel's ALLOW line but that is
// not read as one: the row whose section it stands in (0 for none), its number, and a whole
// warning naming the row or section, the line and why.
struct StrayAllowLine {
    int row = 0;
    int line = 0;
    QString text;
};
QList<StrayAllowLine> strayAllowLines(const QList<IniLine>& lines);
