#pragma once

#include <QHostAddress>
#include <QStringView>
#include <optional>
#include <utility>

// Every address text the bridge reads is read here, so that one text means one address
// wherever it is written: in a DVR row, in the dialler, in an ALLOW list. Each use has its
// own rule below; all of them share the dotted-quad reading.
namespace ip_address {

// The dotted quad of every rule: exactly four '.'-separated decimal numbers 0 to 255.
// Each number may have blanks around it and any number of leading zeros, and a leading
// zero never makes it octal ('010' is ten): the C library would read '010.0.0.5' as
// 8.0.0.5 and dial somebody else. Shorthand such as '10.1' or '10.1.' is not a quad.
std::optional<quint32> parseDottedQuad(QStringView text);

// A DVR address as the row's check accepts it: a dotted quad, nothing else (no names,
// no IPv6), exactly the rule of IsValidIP.
bool isDvrAddress(QStringView text);

// What the dialler connects to: a dotted quad, or an IPv6 literal (a scope such as
// '%eth0' allowed, as a link-local DVR needs one). Never a name lookup.
std::optional<QHostAddress> parseDialTarget(QStringView text);

// The address of an ALLOW entry: a dotted quad without blanks (blanks separate entries),
// or an IPv6 literal without a scope, since a peer's address never carries one. IPv4-mapped
// IPv6 addresses are returned as the IPv4 address they stand for.
std::optional<QHostAddress> parseAllowAddress(QStringView text);

// Where a listening endpoint of the bridge's own (the metrics) binds: "a.b.c.d:port" or
// "[IPv6]:port", the port 1 to 65535 in decimal digits. No names, no scope.
std::optional<std::pair<QHostAddress, quint16>> parseListenEndpoint(QStringView text);

// The plain form of an address: IPv4 for an IPv4-mapped IPv6 one, the address otherwise.
QHostAddress plain(const QHostAddress& address);

}  // namespace ip_address
