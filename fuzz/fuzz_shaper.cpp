// Fuzzing of the Shaper, the per-channel shaping of terminal output for the DVR.
//
// Input layout: byte 0 turns on LINES (bit 0), FILTER (bit 1; escpos, or star with bit 6)
// and MASK=pan (bit 2), picks CODEPAGE (bits 3-5, 0 = none) and ESC_T=ignore (bit 7); byte 1 picks
// DVR_CODEPAGE (bits 0-2, 0 = none, used only with a CODEPAGE) and LINE_MAX (bits 3-7: 16, 17, ...
// or 256); byte 2 seeds how the rest, the terminal's bytes, is cut into arrivals and where the idle
// timer fires in between. The same bytes are also fed as one arrival with no idle time.
//
// Nothing may crash, hang, leak or read out of bounds, and these hold:
//   1. the pieces hold at most 4 bytes per input byte (the most any conversion offered
//      gives for one byte: an invalid byte's U+FFFD in GB18030), and none shows nothing
//      (blanks, CR and LF only);
//   2. with a FILTER, no piece holds a control byte (below 0x20, or DEL) but the CR and LF
//      of a piece without LINES; and with DVR_CODEPAGE=utf-8 no U+FFFD and no C1 control;
//   3. with LINES=1, no piece holds CR or LF, ends in a blank, or is longer than
//      LINE_MAX; and unless the idle timer fired, where the arrivals were cut changes
//      nothing;
//   4. without FILTER and transcoding, every byte but blanks and line ends arrives, in
//      order (digits and the mask's '*' counted as one kind);
//   5. and with MASK=pan, every digit that masking each line of the input whole hides is
//      hidden, however the arrivals and the idle flushes cut it: no middle digit of a card
//      number reaches the DVR.

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "shaping/card_mask.h"
#include "shaping/shaper.h"

namespace {

const char* const kCodePages[] = {nullptr,  "cp437", "cp850",   "cp858",
                                  "cp1252", "utf-8", "gb18030", nullptr};

struct Run {
    QList<QByteArray> pieces;
    bool flushed = false;
};

[[noreturn]] void fail(const char* what, const QByteArray& input, const QByteArray& detail) {
    std::fprintf(stderr, "fuzz_shaper: %s\n  input (hex) %s\n  %s\n", what,
                 input.left(400).toHex(' ').constData(), detail.left(2000).constData());
    std::abort();
}

Run shape(const ShapingOptions& options, const QByteArray& bytes, std::uint32_t seed, bool whole) {
    Shaper shaper(options);
    Run run;
    std::uint32_t state = seed * 2654435761u + 1;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    const std::uint32_t largest = seed & 1 ? 8 : 2048;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype n = whole ? bytes.size() : 1 + next() % largest;
        shaper.feed(QByteArrayView(bytes).sliced(at, std::min(n, bytes.size() - at)), run.pieces);
        at += n;
        if (!whole && shaper.hasPartial() && next() % 8 == 0) {
            shaper.flush(run.pieces);
            run.flushed = true;
        }
    }
    shaper.finish(run.pieces);
    return run;
}

// Bytes as text a log shows whole: a NUL would end it, and a control byte garble it.
QByteArray printable(const QByteArray& bytes) {
    QByteArray out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        out += u >= 0x20 && u < 0x7F && c != '\\' ? QByteArray(1, c)
                                                  : "\\x" + QByteArray::number(u, 16);
    }
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}

QByteArray nonBlank(const QByteArray& text) {
    QByteArray out;
    for (const char c : text) {
        if (!isBlank(c) && !isLineEnd(c)) {
            out += c;
        }
    }
    return out;
}

// The input masked line by line, whole: what must be hidden however it is cut.
QByteArray maskedWhole(const QByteArray& bytes, ByteForm form) {
    QByteArray out;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || isLineEnd(bytes[i])) {
            QByteArray line = bytes.mid(start, i - start);
            maskCardNumbers(line, form);
            out += line;
            out += '\n';
            start = i + 1;
        }
    }
    return out;
}

// The bytes that must arrive, in the form check 4 compares them in.
QByteArray visible(const QByteArray& text) {
    QByteArray out;
    for (const char c : text) {
        if (!isBlank(c) && !isLineEnd(c)) {
            out += (c >= '0' && c <= '9') || c == '*' ? '#' : c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray bytes = input.mid(3);
    const char* const codePage = kCodePages[(data[0] >> 3) & 7];
    const char* const dvrCodePage = codePage ? kCodePages[data[1] & 7] : nullptr;
    const QByteArray lineMax = QByteArray::number(std::min(16 + (data[1] >> 3) * 8, 256));
    const std::optional<ShapingOptions> parsed = ShapingOptions::parse(
        [&](const char* key) -> std::optional<QByteArray> {
            const QByteArray k(key);
            const char* value = k == "LINES" ? (data[0] & 1 ? "1" : "0")
                                : k == "FILTER"
                                    ? (data[0] & 2 ? (data[0] & 64 ? "star" : "escpos") : "none")
                                : k == "ESC_T"        ? (data[0] & 128 ? "ignore" : "follow")
                                : k == "MASK"         ? (data[0] & 4 ? "pan" : "none")
                                : k == "CODEPAGE"     ? codePage
                                : k == "DVR_CODEPAGE" ? dvrCodePage
                                : k == "LINE_MAX"     ? lineMax.constData()
                                                      : nullptr;
            return value ? std::optional<QByteArray>(value) : std::nullopt;
        },
        nullptr, nullptr);
    if (!parsed) {
        fail("parse refused generated options", input, "");
    }
    const ShapingOptions& options = *parsed;

    const Run cut = shape(options, bytes, data[2], false);
    QByteArray joined;
    for (const QByteArray& piece : cut.pieces) {
        joined += piece;
        qsizetype shown = 0;
        for (const char c : piece) {
            const auto u = static_cast<unsigned char>(c);
            const bool filtered = options.filter != ShapingOptions::Filter::kNone;
            if (filtered && (u < 0x20 || u == 0x7F) && (options.lines || !isLineEnd(c))) {
                fail("a control byte passed the filter", input, piece.toHex(' '));
            }
            if (options.lines && isLineEnd(c)) {
                fail("a line piece holds CR or LF", input, piece.toHex(' '));
            }
            shown += !isBlank(c) && !isLineEnd(c);
        }
        if (shown == 0) {
            fail("a piece shows nothing", input, piece.toHex(' '));
        }
        if (options.lines && (isBlank(piece.back()) || piece.size() > options.lineMax)) {
            fail("a line piece ends in a blank or passes LINE_MAX", input, piece.toHex(' '));
        }
    }
    if (options.filter != ShapingOptions::Filter::kNone && options.dvrCodePage == CodePage::kUtf8) {
        const QString text = QString::fromUtf8(joined);
        for (const QChar c : text) {
            if (c == QChar::ReplacementCharacter || (c.unicode() >= 0x80 && c.unicode() <= 0x9F)) {
                fail("U+FFFD or a C1 control reached the DVR", input, joined.toHex(' '));
            }
        }
    }
    if (joined.size() > 4 * bytes.size()) {
        fail("the pieces outgrew four bytes per input byte", input,
             QByteArray::number(joined.size()) + " bytes from " + QByteArray::number(bytes.size()));
    }

    if (options.lines && !cut.flushed) {
        const Run whole = shape(options, bytes, data[2], true);
        if (whole.pieces != cut.pieces) {
            fail("the arrivals' cuts changed the lines", input,
                 "whole " + whole.pieces.join('|').toHex(' ') + "\n  cut   " +
                     cut.pieces.join('|').toHex(' '));
        }
    }
    if (options.filter == ShapingOptions::Filter::kNone && !options.transcodes() &&
        visible(joined) != visible(bytes)) {
        fail("bytes were lost or reordered", input,
             "in  " + visible(bytes).toHex(' ') + "\n  out " + visible(joined).toHex(' '));
    }
    if (options.maskPan && options.filter == ShapingOptions::Filter::kNone &&
        !options.transcodes()) {
        const QByteArray must = nonBlank(maskedWhole(bytes, byteFormOf(options.codePage)));
        const QByteArray shown = nonBlank(joined);
        for (qsizetype i = 0; i < must.size() && i < shown.size(); ++i) {
            if (must[i] == '*' && shown[i] != '*') {
                fail("a digit that masking the whole line hides went out in clear", input,
                     "whole  " + printable(must) + "\n  cut    " + printable(shown) +
                         "\n  pieces " + printable(cut.pieces.join('|')));
            }
        }
    }
    return 0;
}
