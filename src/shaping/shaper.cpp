#include "shaping/shaper.h"

#include <algorithm>
#include <utility>

#include "shaping/card_mask.h"
#include "shaping/escpos_filter.h"
#include "shaping/star_filter.h"

namespace {

bool isLineEnd(char c) {
    return c == '\n' || c == '\r';
}

bool showsNothing(QByteArrayView text) {
    for (const char c : text) {
        if (c != ' ' && c != '\t' && !isLineEnd(c)) {
            return false;
        }
    }
    return true;
}

// Where to cut `line` for a piece of at most `limit` bytes: at `limit`, or before a
// character that would not fit whole. Only the bytes before `limit` decide, so the cut
// does not depend on how much of the line has arrived. GB18030 can only be walked forwards
// from a known boundary; the line's start is one, as every cut made here is.
qsizetype characterCut(QByteArrayView line, qsizetype limit, ByteForm form) {
    if (form == ByteForm::kUtf8) {
        qsizetype lead = limit - 1;
        while (lead > limit - 4 && lead > 0 &&
               (static_cast<unsigned char>(line[lead]) & 0xC0) == 0x80) {
            --lead;
        }
        const bool cutsCharacter =
            lead + utf8Length(static_cast<unsigned char>(line[lead])) > limit;
        return lead > 0 && cutsCharacter ? lead : limit;
    }
    if (form == ByteForm::kGb18030) {
        const QByteArrayView head = line.first(limit);
        for (qsizetype at = 0; at < limit;) {
            const qsizetype width = gb18030Length(head, at);
            if (width == 0) {
                return at > 0 ? at : limit;
            }
            at += width;
        }
    }
    return limit;
}

}  // namespace

// What a cut may hold back of a run, and what a run that went out may leave as context
// for the digits that continue it. A card number with its separators fits in either.
constexpr qsizetype kMaxHold = 64;
constexpr qsizetype kMaxContext = 128;

Shaper::Shaper(const ShapingOptions& options)
    : options_(options),
      form_(byteFormOf(options.transcodes() ? options.dvrCodePage : options.codePage)),
      // A LINE_MAX cut must leave more than it holds, or it would never move on.
      maxHold_(options.lines ? std::min<qsizetype>(kMaxHold, options.lineMax / 2) : kMaxHold) {
    using Filter = ShapingOptions::Filter;
    if (options_.filter == Filter::kEscPos) {
        filter_ = std::make_unique<EscPosFilter>();
    } else if (options_.filter == Filter::kStar) {
        filter_ = std::make_unique<StarFilter>();
    }
    if (options_.transcodes()) {
        transcoder_ = std::make_unique<Transcoder>(options_.codePage, options_.dvrCodePage,
                                                   options_.filter == Filter::kStar
                                                       ? Transcoder::Tables::kStar
                                                       : Transcoder::Tables::kEpson,
                                                   options_.filter != Filter::kNone);
    }
}

Shaper::~Shaper() = default;

void Shaper::feed(QByteArrayView bytes, QList<QByteArray>& pieces) {
    QByteArrayView text = bytes;
    if (filter_ || transcoder_) {
        shaped_.resize(0);
        if (!filter_) {
            transcoder_->convert(bytes, shaped_);
        }
        while (filter_ && !bytes.isEmpty()) {
            // Without a transcoder the filtered text is already the DVR's.
            QByteArray& out = transcoder_ ? filtered_ : shaped_;
            filtered_.resize(0);
            CommandFilter::Event event = CommandFilter::Event::kNone;
            bytes = bytes.sliced(filter_->feed(bytes, out, event));
            if (transcoder_) {
                transcoder_->convert(filtered_, shaped_);
                if (event == CommandFilter::Event::kCharacterSet) {
                    // ESC_T=ignore keeps CODEPAGE whatever the stream selects; the
                    // national set is a matter of the printer's country, not its table.
                    const bool follow = options_.followEscT;
                    transcoder_->selectCharacterSet(follow ? filter_->codeTable() : -1,
                                                    follow ? filter_->multiByteMode() : -1,
                                                    filter_->internationalSet());
                }
            }
        }
        if (filter_) {
            counts_.filteredBytes += filter_->takeDropped();
        }
        if (transcoder_) {
            counts_.replaced += transcoder_->takeReplaced();
        }
        text = shaped_;
    }
    if (options_.lines) {
        assemble(text, pieces);
    } else if (!line_.isEmpty() || !showsNothing(text)) {
        line_ = give(line_ + text.toByteArray(), Cut::kHold, pieces);
        heldOnly_ = !line_.isEmpty();
    } else if (options_.maskPan) {
        keepBlanks(text);
    }
}

// Blanks alone go to no piece, yet a run of digit groups that went out before them may go
// on after them: the masking must still see them between its groups. A line end ends it.
void Shaper::keepBlanks(QByteArrayView text) {
    if (std::any_of(text.begin(), text.end(), isLineEnd)) {
        context_.clear();
        longRun_ = false;
    } else if (!context_.isEmpty()) {
        context_.append(text);
        if (context_.size() > kMaxContext) {
            context_.clear();
            longRun_ = true;
        }
    }
}

void Shaper::flush(QList<QByteArray>& pieces) {
    if (options_.lines && options_.maskPan && !heldOnly_ && !line_.isEmpty() &&
        trailingRun(context_ + line_, form_).holdStart < context_.size() + line_.size()) {
        // A pause before a run of digits has ended: the whole line waits one more pause
        // rather than go out in two pieces.
        heldOnly_ = true;
        return;
    }
    if (!line_.isEmpty()) {
        line_ = give(std::exchange(line_, QByteArray()), heldOnly_ ? Cut::kUnfinished : Cut::kHold,
                     pieces);
        heldOnly_ = !line_.isEmpty();
    }
}

void Shaper::finish(QList<QByteArray>& pieces) {
    endLine(pieces);
    if (filter_) {
        filter_->reset();
    }
    if (transcoder_) {
        transcoder_->reset();
    }
}

void Shaper::endLine(QList<QByteArray>& pieces) {
    if (!line_.isEmpty()) {
        give(std::exchange(line_, QByteArray()), Cut::kLineEnd, pieces);
    }
    context_.clear();
    longRun_ = false;
    heldOnly_ = false;
}

// CR and LF each end a line: the LF of a CR LF ends an empty one, which is dropped like any
// other, wherever the arrivals were cut.
void Shaper::assemble(QByteArrayView text, QList<QByteArray>& pieces) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* eol = p;
        while (eol < end && !isLineEnd(*eol)) {
            ++eol;
        }
        if (line_.isEmpty() && eol < end && eol - p < options_.lineMax) {
            // The usual case, a whole line within one arrival: straight into its piece.
            give(QByteArray(p, eol - p), Cut::kLineEnd, pieces);
            context_.clear();
            longRun_ = false;
        } else {
            addToLine(QByteArrayView(p, eol - p), pieces);
            if (eol < end) {
                endLine(pieces);
            }
        }
        if (eol == end) {
            break;
        }
        p = eol + 1;
    }
}

void Shaper::addToLine(QByteArrayView text, QList<QByteArray>& pieces) {
    if (text.isEmpty()) {
        return;
    }
    line_.append(text);
    heldOnly_ = false;
    while (line_.size() >= options_.lineMax) {
        const qsizetype cut = characterCut(line_, options_.lineMax, form_);
        const QByteArray rest = line_.mid(cut);
        line_ = give(line_.first(cut), Cut::kHold, pieces) + rest;
        heldOnly_ = rest.isEmpty() && !line_.isEmpty();
    }
}

QByteArray Shaper::give(QByteArray piece, Cut cut, QList<QByteArray>& pieces) {
    QByteArray held;
    if (options_.maskPan) {
        held = mask(piece, cut);
    }
    if (showsNothing(piece)) {
        return held;
    }
    if (options_.lines) {
        // Terminals pad lines to the paper's width; on an overlay the padding shows
        // nothing but still costs columns the DVR may not have.
        qsizetype end = piece.size();
        while (piece[end - 1] == ' ' || piece[end - 1] == '\t') {
            --end;
        }
        piece.truncate(end);
    }
    pieces.append(std::move(piece));
    return held;
}

// Masks `piece` as the continuation of context_, keeps back what `cut` lets it, and leaves
// in context_ the part of a run that went out unfinished.
QByteArray Shaper::mask(QByteArray& piece, Cut cut) {
    if (context_.isEmpty() && !longRun_ && cut == Cut::kLineEnd) {
        maskCardNumbers(piece, form_);
        return {};
    }
    const qsizetype known = context_.size();
    QByteArray text = context_ + piece;
    const QByteArray raw = text;
    if (longRun_) {
        maskLeadingRun(text, known);
    }
    TrailingRun tail{text.size(), text.size()};
    qsizetype hold = text.size();
    if (cut != Cut::kLineEnd) {
        tail = trailingRun(text, form_);
        hold = std::max(tail.holdStart, known);
        if (cut == Cut::kUnfinished || text.size() - hold > maxHold_) {
            hold = text.size();
        }
    }
    maskCardNumbers(text, form_);
    const bool unfinished = cut != Cut::kLineEnd && tail.runStart < text.size();
    if (unfinished && hold == text.size()) {
        maskUnfinishedRun(text, tail.runStart, known);
    }
    QByteArray held = raw.sliced(hold);
    piece = text.sliced(known, hold - known);

    // A long run goes on as long as all that went out is its digits and separators (a
    // character left unfinished is neither): what follows is still its part.
    const bool stillLong = longRun_ && cut != Cut::kLineEnd &&
                           std::all_of(raw.cbegin(), raw.cbegin() + hold, isRunByte);
    context_.clear();
    longRun_ = stillLong;
    if (!stillLong && unfinished && tail.runStart < hold) {
        if (hold - tail.runStart > kMaxContext) {
            longRun_ = true;
        } else {
            context_ = raw.sliced(tail.runStart, hold - tail.runStart);
        }
    }
    return held;
}
