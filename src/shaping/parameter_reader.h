#pragma once

#include <QtGlobal>
#include <algorithm>
#include <cstdint>

// How both printer command sets read what follows a command's name: a header of a few
// parameters whose values say how long the rest is, a counted block of data, or bytes up to
// a terminator, given a limit so that a lost terminator cannot swallow the receipt. It
// keeps its place across arrivals and skips a block of any size by counting, never
// buffering it.
class ParameterReader {
public:
    void header(int bytes) {
        step_ = Step::kHeader;
        have_ = 0;
        need_ = bytes;
    }
    void block(quint64 bytes) {
        step_ = Step::kBlock;
        left_ = bytes;
    }
    // Up to the `count`th `terminator`, within `limit` bytes.
    void until(std::uint8_t terminator, int count, int limit) {
        step_ = Step::kUntil;
        terminator_ = terminator;
        terminators_ = count;
        untilLeft_ = limit;
    }

    bool inHeader() const { return step_ == Step::kHeader; }
    // The header's parameters, once read() has said it is complete.
    const std::uint8_t* params() const { return params_; }

    // Reads what it can of [p, end) and says whether the part under way is complete.
    bool read(const std::uint8_t*& p, const std::uint8_t* end) {
        switch (step_) {
            case Step::kHeader: {
                const int take = static_cast<int>(std::min<qsizetype>(need_ - have_, end - p));
                std::copy(p, p + take, params_ + have_);
                have_ += take;
                p += take;
                return have_ == need_;
            }
            case Step::kBlock: {
                const auto take = std::min<quint64>(left_, static_cast<quint64>(end - p));
                p += take;
                left_ -= take;
                return left_ == 0;
            }
            case Step::kUntil: {
                bool found = false;
                while (p < end && untilLeft_ > 0 && !found) {
                    --untilLeft_;
                    found = *p++ == terminator_ && --terminators_ == 0;
                }
                return found || untilLeft_ == 0;
            }
        }
        return true;
    }

private:
    enum class Step : std::uint8_t { kHeader, kBlock, kUntil };

    Step step_ = Step::kHeader;
    std::uint8_t params_[8] = {};
    int have_ = 0;
    int need_ = 0;
    quint64 left_ = 0;
    std::uint8_t terminator_ = 0;
    int terminators_ = 0;
    int untilLeft_ = 0;
};
