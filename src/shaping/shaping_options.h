#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <optional>

// The text encodings a channel may name as its terminal's (CODEPAGE) or its DVR's
// (DVR_CODEPAGE), in the spelling of the settings file: cp437, cp850, cp858, cp1252,
// utf-8, gb18030.
enum class CodePage { kNone, kCp437, kCp850, kCp858, kCp1252, kUtf8, kGb18030 };

// How a code page's bytes make up characters, as far as finding digits and cutting a line
// between characters needs to know. Code page kNone counts as single-byte.
enum class ByteForm { kSingleByte, kUtf8, kGb18030 };
ByteForm byteFormOf(CodePage page);
// The length of the UTF-8 character that `lead` starts, or 1 for a byte that starts none.
int utf8Length(unsigned char lead);
// The length of the GB18030 character that starts at `at` in `text`: 1, 2 or 4; 1 for a lead
// byte whose sequence goes wrong, whose next bytes are then read afresh, as a WHATWG decoder
// does; 0 when `text` ends before the length can be told.
qsizetype gb18030Length(QByteArrayView text, qsizetype at);

// What a channel's section of PosKavelin.ini asks to be done to its terminal's output on
// the way to the DVR. Every key is optional and off when absent or blank; a channel that
// turns nothing on is forwarded exactly as it is today, without a Shaper.
//
//   LINES=1           one piece per line (CR LF, LF or CR); blank lines dropped
//   LINE_IDLE_MS=n    a partial line goes out after n ms without bytes (1..60000,
//                     default 200): long enough to span a terminal's pause between the
//                     segments of one line, short enough that the overlay keeps up
//   LINE_MAX=n        a partial line goes out when it holds n bytes as sent to the DVR
//                     (16..65536, default 256; cut at a character boundary): DVR overlays
//                     show far less, and it bounds what a channel holds back
//   FILTER=escpos     Epson ESC/POS commands and their parameters removed (see EscPosFilter)
//   FILTER=star       Star Line mode and StarPRNT commands removed (see StarFilter)
//   ESC_T=follow      with a FILTER, the stream's own code table commands (ESC t n, Star's
//                     ESC GS t n, FS & and FS .) change how later text is decoded; "ignore"
//                     keeps CODEPAGE for the whole stream, for clones that number their
//                     tables differently
//   CODEPAGE=...      the terminal's text encoding
//   DVR_CODEPAGE=...  the DVR's; needs CODEPAGE. When it differs, or when a FILTER is on
//                     (so that the stream's own code table changes are honoured), text is
//                     transcoded, with '?' for what the terminal's code page cannot decode
//                     and for what the DVR cannot show. Without it the text bytes are left
//                     as they are.
//   MASK=pan          card numbers keep their first 6 and last 4 digits, the rest is '*'
//
// Values are compared without case after trimming blanks; FILTER and MASK also take
// "none", LINES takes 0.
struct ShapingOptions {
    enum class Filter { kNone, kEscPos, kStar };

    bool lines = false;
    int lineIdleMs = 200;
    int lineMax = 256;
    Filter filter = Filter::kNone;
    bool followEscT = true;
    CodePage codePage = CodePage::kNone;
    CodePage dvrCodePage = CodePage::kNone;
    bool maskPan = false;

    static constexpr int kMinLineIdleMs = 1;
    static constexpr int kMaxLineIdleMs = 60000;
    static constexpr int kMinLineMax = 16;
    static constexpr int kMaxLineMax = 65536;

    bool operator==(const ShapingOptions&) const = default;

    bool transcodes() const;
    // False when the channel's bytes go to the DVR untouched.
    bool any() const;

    // The value of a key of the channel's section, or nullopt when the key is absent.
    using Lookup = std::function<std::optional<QByteArray>(const char* key)>;
    // The options of one channel, or nullopt with the offending key and the reason in
    // badKey and why (either may be null).
    static std::optional<ShapingOptions> parse(const Lookup& value, QString* badKey, QString* why);
};
