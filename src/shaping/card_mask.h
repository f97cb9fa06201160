#pragma once

#include <QByteArray>

#include "shaping/shaping_options.h"

// Masks the card numbers in `text`, in place: the digits of a number keep the first 6 and
// the last 4, every digit between becomes '*', and separators stay.
//
// A card number is a run of 13 to 19 digits that passes the Luhn check, its groups
// joined by single blanks or dashes ("4111 1111 1111 1111", "3782-822463-10005"). A
// longer run is read as groups (a quantity, a date or a second number beside the card),
// and any stretch of its whole groups of at least 3 digits each that makes 13 to 19
// digits and passes the check is masked: "4111111111111111 12/27" hides the card too.
// Everything else is left alone, including 13 to 19 digit runs that fail the check.
//
// `form` says how the bytes make up characters: GB18030 four-byte characters hold digit
// bytes that are not digits.
void maskCardNumbers(QByteArray& text, ByteForm form);
