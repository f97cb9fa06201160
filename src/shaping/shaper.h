#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <cstdint>
#include <memory>

#include "shaping/command_filter.h"
#include "shaping/shaping_options.h"
#include "shaping/transcoder.h"

// What a channel's Shaper did to its terminal's bytes, over the Shaper's whole life (one
// terminal connection after another): the bytes its FILTER removed (commands, their
// parameters, other control bytes) and each '?' it put in for a byte or character that
// could not be decoded or shown. A count of '?' that keeps growing says the CODEPAGE is
// wrong; one of removed bytes close to the bytes received says FILTER is.
struct ShapingCounts {
    qint64 filteredBytes = 0;
    qint64 replaced = 0;
};

// Shapes one channel's terminal output into the pieces its DVR is sent, each of which
// the forwarder ends with CR LF. The steps run in this order: the command filter (ESC/POS
// or Star), the decoding, the line assembly, the card-number masking, the encoding for the
// DVR. (Masking comes after the encoding in the code, on the DVR's bytes: digits, blanks,
// dashes and '*' are the same bytes in every code page offered, so the result is the
// same, and the text is converted once per arrival instead of once per line.)
//
// Without LINES=1 each arrival gives at most one piece; with it, each line does, and a
// partial line waits for its end, for LINE_MAX bytes, or for flush(). A piece with
// nothing to show (only blanks and line ends) is never given. Nothing else is dropped,
// and nothing is reordered.
//
// With MASK=pan a card number cannot be cut around. Where a piece ends before its line
// does (LINE_MAX, flush(), or the end of an arrival without LINES), a run of digit groups
// at its end that further digits could still make a card number of is held back for the
// next piece, up to 64 bytes (half of LINE_MAX when that is less); at a flush() the whole
// partial line waits, so that a pause does not split it. A run held at one cut and still
// unfinished at the next flush() goes out with every digit past its first 6 masked, and the
// digits that continue it are masked as part of it.
//
// The Shaper holds no timer: after a feed() or flush() that leaves hasPartial() true, the
// caller (re)starts one of idleMs() and calls flush() when it fires, and finish() when the
// terminal closes. One Shaper serves one channel, one terminal connection after another.
class Shaper {
public:
    explicit Shaper(const ShapingOptions& options);
    ~Shaper();

    // Appends to `pieces` what `bytes`, one arrival from the terminal, completes.
    void feed(QByteArrayView bytes, QList<QByteArray>& pieces);
    // Gives the partial line, if any, as a piece of its own (less a card number's run
    // that may still go on; see above).
    void flush(QList<QByteArray>& pieces);
    // The terminal closed: give what is held, then forget everything the stream had set
    // (code table, a command or character cut off by the close) for the next connection.
    void finish(QList<QByteArray>& pieces);

    bool hasPartial() const { return !line_.isEmpty(); }
    int idleMs() const { return options_.lineIdleMs; }
    const ShapingCounts& counts() const { return counts_; }

private:
    enum class Cut : std::uint8_t { kLineEnd, kHold, kUnfinished };

    void assemble(QByteArrayView text, QList<QByteArray>& pieces);
    void addToLine(QByteArrayView text, QList<QByteArray>& pieces);
    void endLine(QList<QByteArray>& pieces);
    void keepBlanks(QByteArrayView text);
    // Gives `piece`, cut from its line as `cut` says, and returns what it held back.
    QByteArray give(QByteArray piece, Cut cut, QList<QByteArray>& pieces);
    QByteArray mask(QByteArray& piece, Cut cut);

    const ShapingOptions options_;
    // How the bytes that reach the line assembly make up characters.
    const ByteForm form_;
    const qsizetype maxHold_;
    std::unique_ptr<CommandFilter> filter_;
    std::unique_ptr<Transcoder> transcoder_;
    QByteArray filtered_;
    QByteArray shaped_;
    QByteArray line_;
    // The part of a run of digit groups that went out before the run ended, raw, so that
    // the digits that continue it are masked as its part.
    QByteArray context_;
    // A run too long to keep as context: the digits that continue it are all masked.
    bool longRun_ = false;
    // line_ is only what the last cut held back: the next flush() gives it out unfinished.
    bool heldOnly_ = false;
    ShapingCounts counts_;
};
