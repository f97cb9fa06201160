#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <map>

#include "shaping/shaping_options.h"

// Brings a terminal's text into the DVR's encoding. The conversions are Qt's
// QStringDecoder and QStringEncoder opened by name, which Debian's Qt 6.4 backs with ICU:
// ICU has GB18030 and every IBM and Windows code page that the Epson tables name, kept
// right by people who do nothing else, so this program keeps no tables of its own.
// Decoding is stateful: a multi-byte character split across arrivals comes out whole.
// A character the DVR's code page lacks becomes '?'.
class Transcoder {
public:
    // Fed the ESC/POS filter's output, it yields no control byte but TAB, CR and LF:
    // every table here decodes TAB and the bytes from 0x20 up, bar DEL, to printable
    // characters or U+FFFD. Without the filter, control bytes pass as ICU maps them (its
    // IBM tables swap 0x1A, 0x1C and 0x7F).
    Transcoder(CodePage from, CodePage to);

    // Decodes what follows with Epson's character table `table` (ESC t n; -1 when none
    // was chosen) and multi-byte mode `multiByte` (1 after FS &, 0 after FS ., -1 for the
    // printer's default: on for a UTF-8 or GB18030 terminal). A table ICU lacks keeps
    // only its ASCII half; its upper half (Katakana, line graphics) is dropped.
    void selectCharacterSet(int table, int multiByte);
    // Appends the DVR's bytes for `in` to `out`.
    void convert(QByteArrayView in, QByteArray& out);
    // Back to the terminal's own code page, with nothing of a character held.
    void reset();

private:
    void decode(QByteArrayView in, QByteArray& out);

    const CodePage from_;
    QStringDecoder own_;
    std::map<int, QStringDecoder> tables_;
    QStringDecoder* current_;
    bool asciiOnly_ = false;
    QStringEncoder encoder_;
    QString utf16_;
    QByteArray held_;  // the start of a character cut off by the end of an arrival
};
