#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>

// Every number the settings file and the rows hold is read by one of these rules, so that
// start-up, a reload and `poskavelinctl check` can never disagree about a value.
namespace setting_numbers {

// The switches, hours and "EnablePrinter": a signed 16-bit decimal, blanks around it
// allowed, as the file has always been read. Nullopt leaves a control as it was.
std::optional<int> int16Value(QByteArrayView text);

// The listening port of a row, read as the number the text holds: blanks around it and a
// leading sign allowed ("+9001" listens on 9001). This is what the socket is handed, so
// one out of range is refused there with its own cause.
std::optional<int> listenPortNumber(const QString& text);
// The same, within 1 to 65535: what a check of the file accepts.
std::optional<int> listenPort(const QString& text);

// The DVR's port as it is checked before a connect: digits only (leading zeros allowed, no
// blank, no sign), at most 65535; what IsDigitsOnly passes beyond that range is refused here.
std::optional<int> dvrPort(const QString& text);

// Decimal digits alone (no blank, no sign; leading zeros allowed) within [low, high]: the
// strict rule of the keys a person writes only by hand (shaping bounds, printer ports, baud).
std::optional<int> digitsValue(QByteArrayView text, int low, int high);

// A whole decimal within [low, high], blanks around it allowed and nothing else.
std::optional<int> boundedValue(QByteArrayView text, int low, int high);

}  // namespace setting_numbers
