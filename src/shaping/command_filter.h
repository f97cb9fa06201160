#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <utility>

// What the two printer command filters (EscPosFilter, StarFilter) have in common: they keep
// the text a printer would print, drop every command with its parameters (as their command
// set's reader, EscPosCommands or StarCommands, cuts them out), keep their place across
// feed() calls, and say when a command changed how the text after it is decoded.
class CommandFilter {
public:
    enum class Event : std::uint8_t {
        kNone,
        kCharacterSet,  // a code table, multi-byte or national character set command
    };

    virtual ~CommandFilter() = default;

    // Appends the text of `in` to `out` and returns how many bytes of `in` it consumed:
    // all of them, or fewer when a command changed the character set (then `event` says
    // so, and the caller decodes what it has before feeding the rest).
    virtual qsizetype feed(QByteArrayView in, QByteArray& out, Event& event) = 0;
    // Back to the state of a printer just switched on.
    virtual void reset() = 0;

    // The table of the last code table command since the start or the last initialise, in
    // the printer family's own numbering, or -1 for none.
    int codeTable() const { return table_; }
    // 1 after multi-byte characters were turned on, 0 after off, -1 for neither.
    int multiByteMode() const { return multiByte_; }
    // The national character set of ESC R n (0, the USA's, unless chosen).
    int internationalSet() const { return national_; }
    // The bytes dropped since the last call, for the channel's counters.
    qint64 takeDropped() { return std::exchange(dropped_, 0); }

protected:
    // Appends a run of text, with the blank that a horizontal move before it stands for.
    qsizetype appendText(QByteArrayView text, QByteArray& out) {
        if (blankPending_ && text.front() != ' ') {
            out.append(' ');
        }
        blankPending_ = false;
        out.append(text);
        atLineStart_ = false;
        return text.size();
    }
    // Keeps CR and LF, turns a TAB into a blank and a form feed into a line end, drops every
    // other control; returns how many of the byte went to the text (0 or 1).
    qsizetype appendControl(std::uint8_t c, QByteArray& out) {
        if (c == '\t') {
            // A tab moves to the next column; the DVR gets no control but the line end, so
            // it is the blank between the columns.
            out.append(' ');
            atLineStart_ = false;
            blankPending_ = false;
            return 1;
        }
        if (c == '\n' || c == '\r') {
            out.append(static_cast<char>(c));
            atLineStart_ = true;
            blankPending_ = false;
            return 1;
        }
        if (c == '\f') {
            lineEnd(out);
        }
        return 0;
    }
    // A command that moves the paper on ends an open line.
    void lineEnd(QByteArray& out) {
        if (!atLineStart_) {
            out.append('\n');
            atLineStart_ = true;
        }
        blankPending_ = false;
    }
    // Columns set apart by print position do not run together: a move becomes one blank
    // between words.
    void position() { blankPending_ = blankPending_ || !atLineStart_; }

    // What a reset keeps: the count of dropped bytes belongs to the channel.
    template <typename Filter>
    static void resetKeepingCount(Filter& filter) {
        const qint64 dropped = filter.dropped_;
        filter = Filter();
        filter.dropped_ = dropped;
    }

    int table_ = -1;
    int multiByte_ = -1;
    int national_ = 0;
    qint64 dropped_ = 0;
    bool atLineStart_ = true;
    bool blankPending_ = false;
};
