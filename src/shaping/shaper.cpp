#include "shaping/shaper.h"

#include <utility>

#include "shaping/card_mask.h"

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
        qsizetype at = 0;
        while (at < limit) {
            const auto c = static_cast<unsigned char>(line[at]);
            const qsizetype width =
                c < 0x81 || c == 0xFF                                                ? 1
                : at + 1 < line.size() && line[at + 1] >= '0' && line[at + 1] <= '9' ? 4
                                                                                     : 2;
            if (at + width > limit) {
                return at > 0 ? at : limit;
            }
            at += width;
        }
    }
    return limit;
}

}  // namespace

Shaper::Shaper(const ShapingOptions& options)
    : options_(options),
      form_(byteFormOf(options.transcodes() ? options.dvrCodePage : options.codePage)) {
    if (options_.filterEscPos) {
        filter_ = std::make_unique<EscPosFilter>();
    }
    if (options_.transcodes()) {
        transcoder_ = std::make_unique<Transcoder>(options_.codePage, options_.dvrCodePage);
    }
}

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
            EscPosFilter::Event event = EscPosFilter::Event::kNone;
            bytes = bytes.sliced(filter_->feed(bytes, out, event));
            if (transcoder_) {
                transcoder_->convert(filtered_, shaped_);
                if (event == EscPosFilter::Event::kCharacterSet) {
                    transcoder_->selectCharacterSet(filter_->codeTable(), filter_->multiByteMode());
                }
            }
        }
        text = shaped_;
    }
    if (options_.lines) {
        assemble(text, pieces);
    } else if (!showsNothing(text)) {
        give(text.toByteArray(), pieces);
    }
}

void Shaper::flush(QList<QByteArray>& pieces) {
    if (!line_.isEmpty()) {
        give(std::exchange(line_, QByteArray()), pieces);
    }
}

void Shaper::finish(QList<QByteArray>& pieces) {
    flush(pieces);
    if (filter_) {
        filter_->reset();
    }
    if (transcoder_) {
        transcoder_->reset();
    }
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
            give(QByteArray(p, eol - p), pieces);
        } else {
            addToLine(QByteArrayView(p, eol - p), pieces);
            if (eol < end) {
                flush(pieces);
            }
        }
        if (eol == end) {
            break;
        }
        p = eol + 1;
    }
}

void Shaper::addToLine(QByteArrayView text, QList<QByteArray>& pieces) {
    line_.append(text);
    while (line_.size() >= options_.lineMax) {
        const qsizetype cut = characterCut(line_, options_.lineMax, form_);
        give(line_.first(cut), pieces);
        line_.remove(0, cut);
    }
}

void Shaper::give(QByteArray piece, QList<QByteArray>& pieces) const {
    if (showsNothing(piece)) {
        return;
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
    if (options_.maskPan) {
        maskCardNumbers(piece, form_);
    }
    pieces.append(std::move(piece));
}
