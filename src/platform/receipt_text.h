#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Terminals send UTF-8 or a Western 8-bit code page, and nothing says which: a piece
// that is valid UTF-8 is read as UTF-8, any other as Windows-1252.
QString receiptText(const QByteArray& bytes);

// Appends `text` to `lines` as lines of paper: CR, LF, CR LF, VT and FF start a new line
// (one at the very end adds no empty line), a tab goes to the next multiple of 8 columns,
// and other control characters are dropped.
void appendReceiptLines(const QString& text, QStringList* lines);
