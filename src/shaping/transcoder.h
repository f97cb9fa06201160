#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <map>
#include <utility>

#include "shaping/printer_tables.h"
#include "shaping/shaping_options.h"

// Brings a terminal's text into the DVR's encoding. The conversions are Qt's
// QStringDecoder and QStringEncoder opened by name, which Debian's Qt 6.4 backs with ICU:
// ICU has GB18030 and the IBM and Windows code pages that Epson's and Star's tables name,
// kept right by people who do nothing else. Only what ICU lacks (Epson's and Star's
// Katakana pages, Star's Normal table, the national sets of ESC R n) comes from
// printer_tables. Decoding is stateful: a multi-byte character split across arrivals comes
// out whole.
//
// Nothing undecodable passes: a byte or sequence the terminal's table cannot decode, and a
// character the DVR's code page lacks, become '?'. With `scrub` (a FILTER is on) so does
// every C0 control but TAB, CR and LF, DEL and
// every C1 control, whatever a table decodes a byte to (ICU's windows-1252 gives U+0081 for 0x81,
// its IBM tables SUB for some bytes).
class Transcoder {
public:
    // Whose numbering a code table command uses.
    enum class Tables { kEpson, kStar };

    Transcoder(CodePage from, CodePage to, Tables tables, bool scrub);

    // Decodes what follows with table `table` of the printer family (ESC t n or ESC GS t n;
    // -1 when none was chosen), multi-byte mode `multiByte` (1 after FS &, 0 after FS .,
    // -1 for the printer's default: on for a UTF-8 or GB18030 terminal) and national set
    // `national` (ESC R n). A table no one has decodes its upper half to '?'.
    void selectCharacterSet(int table, int multiByte, int national);
    // Appends the DVR's bytes for `in` to `out`.
    void convert(QByteArrayView in, QByteArray& out);
    // Back to the terminal's own code page, with nothing of a character held.
    void reset();
    // The '?' put in since the last call, for the channel's counters.
    qint64 takeReplaced() { return std::exchange(replaced_, 0); }

private:
    void decode(QByteArrayView in, QByteArray& out);

    const CodePage from_;
    const Tables tables_;
    const bool scrub_;
    QStringDecoder own_;
    std::map<int, QStringDecoder> decoders_;
    QStringDecoder* current_;
    const UpperHalf* upperHalf_ = nullptr;  // a table of our own instead of current_
    const std::array<char16_t, 128>* national_ = nullptr;
    QStringEncoder encoder_;
    QString utf16_;
    QByteArray held_;  // the start of a character cut off by the end of an arrival
    qint64 replaced_ = 0;
};
