#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include "shaping/shaping_options.h"

// What joins the digit groups of a card number ("4111 1111-1111\t1111").
inline bool isGroupSeparator(char c) {
    return c == ' ' || c == '-' || c == '\t';
}

// A byte that a run of digit groups may hold: a digit or a separator.
inline bool isRunByte(char c) {
    return (c >= '0' && c <= '9') || isGroupSeparator(c);
}

// Masks the card numbers in `text`, in place: the digits of a number keep the first 6 and
// the last 4, every digit between becomes '*', and separators stay.
//
// A card number is a run of 13 to 19 digits that passes the Luhn check, its groups
// joined by any run of blanks, dashes or tabs ("4111 1111 1111 1111", "3782-822463-10005",
// "4111  1111\t1111 - 1111"). A
// longer run is read as groups (a quantity, a date or a second number beside the card),
// and any stretch of its whole groups of at least 3 digits each that makes 13 to 19
// digits and passes the check is masked: "4111111111111111 12/27" hides the card too.
// Everything else is left alone, including 13 to 19 digit runs that fail the check.
//
// `form` says how the bytes make up characters: GB18030 four-byte characters hold digit
// bytes that are not digits.
void maskCardNumbers(QByteArray& text, ByteForm form);

// Where a cut after `text` leaves a run of digit groups that more text could still turn
// into a card number, or extend one: `runStart` is where the run that ends `text` starts,
// and `holdStart` the first group from which the run holds fewer digits than a card may
// have; what lies before it cannot be part of a card with digits yet to come. Both are
// text.size() when `text` does not end in such a run (holdStart alone when even its last
// group is too long for a card). A GB18030 character that `text` cuts short counts as such a
// run, both at its start: what its digit bytes are is up to the bytes yet to come.
struct TrailingRun {
    qsizetype runStart;
    qsizetype holdStart;
};
TrailingRun trailingRun(QByteArrayView text, ByteForm form);

// A run that goes out before it is known where it ends: every digit from `from` on that is
// not among the run's first 6 becomes '*', since any card it may belong to starts at or
// after `runStart` and shows no more than its first 6 digits before the end is known.
void maskUnfinishedRun(QByteArray& text, qsizetype runStart, qsizetype from);

// Every digit of the run that starts `text` at `from`, up to its first other character.
void maskLeadingRun(QByteArray& text, qsizetype from);
