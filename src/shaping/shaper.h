#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <memory>

#include "shaping/escpos_filter.h"
#include "shaping/shaping_options.h"
#include "shaping/transcoder.h"

// Shapes one channel's terminal output into the pieces its DVR is sent, each of which
// the forwarder ends with CR LF. The steps run in this order: the ESC/POS filter, the
// decoding, the line assembly, the card-number masking, the encoding for the DVR.
// (Masking comes after the encoding in the code, on the DVR's bytes: digits, blanks,
// dashes and '*' are the same bytes in every code page offered, so the result is the
// same, and the text is converted once per arrival instead of once per line.)
//
// Without LINES=1 each arrival gives at most one piece; with it, each line does, and a
// partial line waits for its end, for LINE_MAX bytes, or for flush(). A piece with
// nothing to show (only blanks and line ends) is never given. Nothing else is dropped,
// and nothing is reordered.
//
// The Shaper holds no timer: after a feed() that leaves hasPartial() true, the caller
// (re)starts one of idleMs() and calls flush() when it fires, and finish() when the
// terminal closes. One Shaper serves one channel, one terminal connection after another.
class Shaper {
public:
    explicit Shaper(const ShapingOptions& options);

    // Appends to `pieces` what `bytes`, one arrival from the terminal, completes.
    void feed(QByteArrayView bytes, QList<QByteArray>& pieces);
    // Gives the partial line, if any, as a piece of its own.
    void flush(QList<QByteArray>& pieces);
    // The terminal closed: flush, then forget everything the stream had set (code
    // table, a command or character cut off by the close) for the next connection.
    void finish(QList<QByteArray>& pieces);

    bool hasPartial() const { return !line_.isEmpty(); }
    int idleMs() const { return options_.lineIdleMs; }

private:
    void assemble(QByteArrayView text, QList<QByteArray>& pieces);
    void addToLine(QByteArrayView text, QList<QByteArray>& pieces);
    void give(QByteArray piece, QList<QByteArray>& pieces) const;

    const ShapingOptions options_;
    // How the bytes that reach the line assembly make up characters.
    const ByteForm form_;
    std::unique_ptr<EscPosFilter> filter_;
    std::unique_ptr<Transcoder> transcoder_;
    QByteArray filtered_;
    QByteArray shaped_;
    QByteArray line_;
};
