#pragma once

#include <QByteArrayView>
#include <cstdint>

#include "shaping/parameter_reader.h"
#include "shaping/printable.h"

// What the readers of the two printer command sets (EscPosCommands, StarCommands) share: runs
// of text read without a call, the place kept across read() calls, and the parameters of the
// command under way. `Derived` supplies startsCommand(c), readCommand(), onHeader() and
// finishCommand(); its names are enums of its own, declared before it so that this base can
// take them: Kind (with kNone, kText, kControl and kCommand), State (with kText and
// kParameters) and Header.
template <class Derived, class KindT, class StateT, class HeaderT>
class CommandWalker {
public:
    using Kind = KindT;
    struct Item {
        Kind kind = Kind::kNone;
        std::uint8_t n = 0;   // the control byte, or the command's parameter its kind names
        QByteArrayView text;  // kText only; a part of the bytes read
    };

    // Reads from the start of `in` to the end of the first text run or command it finishes
    // there (or to the end of `in`) and returns how many bytes it read.
    qsizetype read(QByteArrayView in, Item& item) {
        // Text is most of a receipt: its runs are read here, without a call.
        if (state_ == State::kText && !in.isEmpty()) {
            const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
            const auto* const end = begin + in.size();
            const auto* p = begin;
            if (readText(p, end, item)) {
                return p - begin;
            }
            if (const std::uint8_t c = *p; !Derived::startsCommand(c)) {
                item.kind = Kind::kControl;
                item.n = c;
                return 1;
            }
        }
        return derived().readCommand(in, item);
    }
    void reset() { derived() = Derived(); }

protected:
    using State = StateT;
    using Header = HeaderT;

    // Reads the run of text that starts at `p`, if there is one, into `item`.
    static bool readText(const std::uint8_t*& p, const std::uint8_t* end, Item& item) {
        const auto* const run = p;
        while (p < end && kPrintable[*p]) {
            ++p;
        }
        if (p == run) {
            return false;
        }
        item.kind = Kind::kText;
        item.text = QByteArrayView(run, p - run);
        return true;
    }

    // The command goes on with a header of `bytes` parameters, handed to onHeader().
    void expect(Header header, int bytes, Kind kind = Kind::kCommand) {
        kind_ = kind;
        header_ = header;
        parameters_.header(bytes);
        state_ = State::kParameters;
    }
    // The command ends after `bytes` more of data.
    void skip(quint64 bytes) {
        parameters_.block(bytes);
        state_ = State::kParameters;
        if (bytes == 0) {
            derived().finishCommand();
        }
    }
    void until(std::uint8_t terminator, int count, int limit) {
        parameters_.until(terminator, count, limit);
        state_ = State::kParameters;
    }
    void done(Kind kind) {
        kind_ = kind;
        derived().finishCommand();
    }
    // Reads what it can of the parameters under way; a complete header goes to onHeader(),
    // the end of the command to finishCommand().
    void readParameters(const std::uint8_t*& p, const std::uint8_t* end) {
        if (parameters_.read(p, end)) {
            if (parameters_.inHeader()) {
                derived().onHeader();
            } else {
                derived().finishCommand();
            }
        }
    }
    // What readCommand() returns: `read` bytes, and the command that ended in them, if any.
    qsizetype report(Item& item, qsizetype read) const {
        if (finished_) {
            item.kind = kind_;
            item.n = param_;
        }
        return read;
    }

    State state_ = State::kText;
    Header header_ = Header::kParameter;
    Kind kind_ = Kind::kCommand;  // what the command under way is, reported when it ends
    std::uint8_t param_ = 0;      // its parameter that the report carries
    bool finished_ = false;       // a command ended in this read()
    ParameterReader parameters_;

private:
    Derived& derived() { return static_cast<Derived&>(*this); }
};
