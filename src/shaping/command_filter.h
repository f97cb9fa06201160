#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <utility>

// What the two printer command filters (EscPosFilter, StarFilter) have in common: they keep
// the text a printer would print, drop every command with its parameters, keep their place
// across feed() calls, and say when a command changed how the text after it is decoded.
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
};
