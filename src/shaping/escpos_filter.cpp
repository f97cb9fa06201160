#include "shaping/escpos_filter.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kFs = 0x1C;
constexpr std::uint8_t kGs = 0x1D;

// Bytes that print as themselves: ASCII from blank to '~', and everything from 0x80
// (the upper half of a code table, or part of a multi-byte character). DEL is left out:
// it prints nothing, and ICU's IBM tables decode it as SUB.
constexpr std::array<bool, 256> kPrintable = [] {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x7F; ++c) {
        table[c] = true;
    }
    for (int c = 0x80; c < 0x100; ++c) {
        table[c] = true;
    }
    return table;
}();

quint64 word(std::uint8_t low, std::uint8_t high) {
    return low | quint64{high} << 8;
}

}  // namespace

void EscPosFilter::reset() {
    resetKeepingCount(*this);
}

qsizetype EscPosFilter::feed(QByteArrayView in, QByteArray& out, Event& event) {
    event = Event::kNone;
    out_ = &out;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    qsizetype passed = 0;
    while (p < end) {
        switch (state_) {
            case State::kText: {
                const auto* const run = p;
                while (p < end && kPrintable[*p]) {
                    ++p;
                }
                if (p != run) {
                    passed += p - run;
                    if (blankPending_ && *run != ' ') {
                        out.append(' ');
                    }
                    blankPending_ = false;
                    out.append(reinterpret_cast<const char*>(run), p - run);
                    atLineStart_ = false;
                    continue;
                }
                const std::uint8_t c = *p++;
                if (c == kEsc) {
                    state_ = State::kEsc;
                } else if (c == kGs) {
                    state_ = State::kGs;
                } else if (c == kFs) {
                    state_ = State::kFs;
                } else if (c == kDle) {
                    state_ = State::kDle;
                } else if (c == '\t') {
                    // A tab moves to the next column; the DVR gets no control but the
                    // line end, so it is the blank between the columns.
                    ++passed;
                    out.append(' ');
                    atLineStart_ = false;
                    blankPending_ = false;
                } else if (c == '\n' || c == '\r') {
                    ++passed;
                    out.append(static_cast<char>(c));
                    atLineStart_ = true;
                    blankPending_ = false;
                } else if (c == '\f') {
                    lineEnd();
                }
                break;
            }
            case State::kEsc:
                // A control byte after ESC that starts no command is the stray ESC's
                // neighbour, not its parameter: an LF there must still end the line.
                if (*p < 0x20 && *p != '\f' && *p != 0x0E && *p != 0x14) {
                    state_ = State::kText;
                } else {
                    startEsc(*p++);
                }
                break;
            case State::kGs:
                startGs(*p++);
                break;
            case State::kFs:
                startFs(*p++);
                break;
            case State::kDle:
                // DLE before anything but EOT, ENQ or DC4 is a lone control byte.
                if (startDle(*p)) {
                    ++p;
                } else {
                    state_ = State::kText;
                }
                break;
            case State::kHeader: {
                const int take = static_cast<int>(std::min<qsizetype>(need_ - have_, end - p));
                std::copy(p, p + take, params_ + have_);
                have_ += take;
                p += take;
                if (have_ == need_) {
                    onHeader();
                }
                break;
            }
            case State::kSkip: {
                const auto take = std::min<quint64>(skip_, static_cast<quint64>(end - p));
                p += take;
                skip_ -= take;
                if (skip_ == 0) {
                    finishCommand();
                }
                break;
            }
            case State::kUntil: {
                bool done = false;
                while (p < end && untilLeft_ > 0 && !done) {
                    --untilLeft_;
                    done = *p++ == terminator_ && --terminators_ == 0;
                }
                if (done || untilLeft_ == 0) {
                    finishCommand();
                }
                break;
            }
        }
        if (changed_) {
            changed_ = false;
            event = Event::kCharacterSet;
            break;
        }
    }
    out_ = nullptr;
    dropped_ += (p - begin) - passed;
    return p - begin;
}

void EscPosFilter::startEsc(std::uint8_t c) {
    switch (c) {
        case '@':
            // Initialise: the character set goes back to the printer's own. Text before
            // it belongs to the receipt before, so it ends the line rather than vanish
            // from the printer's buffer as it would on paper.
            lineEnd();
            table_ = -1;
            multiByte_ = -1;
            national_ = 0;
            changed_ = true;
            state_ = State::kText;
            return;
        case '\f':
        case 'i':
        case 'm':
            lineEnd();
            state_ = State::kText;
            return;
        case 't':
            expect(Header::kCodeTable, 1);
            return;
        case 'R':
            expect(Header::kNational, 1);
            return;
        case 'J':
        case 'K':
        case 'd':
        case 'e':
            skip(1, After::kLineEnd);
            return;
        case '$':
        case '\\':
            skip(2, After::kBlank);
            return;
        case '*':
            expect(Header::kBitImage, 3);
            return;
        case '&':
            expect(Header::kDefineChars, 3);
            return;
        case '(':
            expect(Header::kLengthPrefixed, 3);
            return;
        case 'Z':
            expect(Header::kTwoDimensionalCode, 5);
            return;
        case 'D':
            until(0, 1, 33);
            return;
        case 'c':
            skip(2);
            return;
        case 'p':
            skip(3);
            return;
        case 'W':
            skip(8);
            return;
        case ' ':
        case '!':
        case '%':
        case '-':
        case '3':
        case '=':
        case '?':
        case 'E':
        case 'G':
        case 'M':
        case 'T':
        case 'U':
        case 'V':
        case 'a':
        case 'r':
        case 'u':
        case '{':
            skip(1);
            return;
        default:
            // No parameters, or a command printers ignore; either way its byte is gone.
            state_ = State::kText;
            return;
    }
}

void EscPosFilter::startGs(std::uint8_t c) {
    switch (c) {
        case '(':
            expect(Header::kLengthPrefixed, 3);
            return;
        case '8':
            expect(Header::kGraphics, 5);
            return;
        case '*':
            expect(Header::kDownloadImage, 2);
            return;
        case 'v':
            expect(Header::kRasterImage, 6);
            return;
        case 'V':
            expect(Header::kCut, 1);
            return;
        case 'k':
            expect(Header::kBarcode, 1);
            return;
        case 'C':
            expect(Header::kCounter, 1);
            return;
        case 'g':
            skip(4);
            return;
        case '^':
        case 'z':
            skip(3);
            return;
        case '$':
        case 'L':
        case 'P':
        case 'W':
        case '\\':
            skip(2);
            return;
        case '!':
        case '/':
        case 'B':
        case 'E':
        case 'H':
        case 'I':
        case 'T':
        case 'Z':
        case 'a':
        case 'b':
        case 'f':
        case 'h':
        case 'j':
        case 'r':
        case 'w':
            skip(1);
            return;
        default:
            state_ = State::kText;
            return;
    }
}

void EscPosFilter::startFs(std::uint8_t c) {
    switch (c) {
        case '(':
            expect(Header::kLengthPrefixed, 3);
            return;
        case '2':
            skip(2 + 72);
            return;
        case 'q':
            expect(Header::kNvImages, 1);
            return;
        case 'g':
            expect(Header::kNvMemory, 8);
            return;
        case '&':
        case '.':
            multiByte_ = c == '&' ? 1 : 0;
            changed_ = true;
            state_ = State::kText;
            return;
        case 'S':
        case 'p':
            skip(2);
            return;
        case '!':
        case '-':
        case 'C':
        case 'W':
            skip(1);
            return;
        default:
            state_ = State::kText;
            return;
    }
}

bool EscPosFilter::startDle(std::uint8_t c) {
    switch (c) {
        case 0x04:
            expect(Header::kStatus, 1);
            return true;
        case 0x05:
            skip(1);
            return true;
        case 0x14:
            expect(Header::kRealTime, 1);
            return true;
        default:
            return false;
    }
}

void EscPosFilter::onHeader() {
    const std::uint8_t* const n = params_;
    switch (header_) {
        case Header::kCodeTable:
            table_ = n[0];
            changed_ = true;
            finishCommand();
            return;
        case Header::kNational:
            national_ = n[0];
            changed_ = true;
            finishCommand();
            return;
        case Header::kBitImage: {
            const quint64 columns = word(n[1], n[2]);
            skip(n[0] == 32 || n[0] == 33 ? 3 * columns : columns);
            return;
        }
        case Header::kDefineChars:
            charHeight_ = n[0];
            items_ = n[2] >= n[1] ? n[2] - n[1] + 1 : 0;
            itemHeader_ = Header::kDefineCharWidth;
            finishCommand();
            return;
        case Header::kDefineCharWidth:
            --items_;
            skip(quint64{n[0]} * static_cast<quint64>(charHeight_));
            return;
        case Header::kLengthPrefixed:
            skip(word(n[1], n[2]));
            return;
        case Header::kTwoDimensionalCode:
            skip(word(n[3], n[4]));
            return;
        case Header::kGraphics:
            skip(word(n[1], n[2]) | word(n[3], n[4]) << 16);
            return;
        case Header::kDownloadImage:
            skip(quint64{n[0]} * n[1] * 8);
            return;
        case Header::kRasterImage:
            skip(word(n[2], n[3]) * word(n[4], n[5]));
            return;
        case Header::kCut: {
            const bool feedsFirst =
                n[0] == 65 || n[0] == 66 || n[0] == 97 || n[0] == 98 || n[0] == 103 || n[0] == 104;
            skip(feedsFirst ? 1 : 0, After::kLineEnd);
            return;
        }
        case Header::kBarcode:
            if (n[0] < 65) {
                until(0, 1, 256);
            } else {
                expect(Header::kBarcodeLength, 1);
            }
            return;
        case Header::kBarcodeLength:
            skip(n[0]);
            return;
        case Header::kCounter:
            if (n[0] == ';') {
                until(';', 5, 64);
            } else {
                const int function = n[0] >= '0' ? n[0] - '0' : n[0];
                skip(function == 1 ? 6 : function == 0 || function == 2 ? 2 : 0);
            }
            return;
        case Header::kNvImages:
            items_ = n[0];
            itemHeader_ = Header::kNvImage;
            finishCommand();
            return;
        case Header::kNvImage:
            --items_;
            skip(word(n[0], n[1]) * word(n[2], n[3]) * 8);
            return;
        case Header::kNvMemory:
            skip(n[0] == 1 || n[0] == '1' ? word(n[6], n[7]) : 0);
            return;
        case Header::kStatus:
            skip(n[0] == 7 || n[0] == 8 ? 1 : 0);
            return;
        case Header::kRealTime:
            skip(n[0] == 8 ? 7 : n[0] == 7 ? 1 : n[0] >= 1 && n[0] <= 3 ? 2 : 0);
            return;
    }
}

void EscPosFilter::expect(Header header, int bytes) {
    header_ = header;
    have_ = 0;
    need_ = bytes;
    state_ = State::kHeader;
}

void EscPosFilter::skip(quint64 bytes, After after) {
    after_ = after;
    skip_ = bytes;
    state_ = State::kSkip;
    if (bytes == 0) {
        finishCommand();
    }
}

void EscPosFilter::until(std::uint8_t terminator, int count, int limit) {
    terminator_ = terminator;
    terminators_ = count;
    untilLeft_ = limit;
    state_ = State::kUntil;
}

void EscPosFilter::finishCommand() {
    if (items_ > 0) {
        expect(itemHeader_, itemHeader_ == Header::kNvImage ? 4 : 1);
        return;
    }
    state_ = State::kText;
    if (after_ == After::kLineEnd) {
        lineEnd();
    } else if (after_ == After::kBlank && !atLineStart_) {
        blankPending_ = true;
    }
    after_ = After::kNothing;
}

void EscPosFilter::lineEnd() {
    if (!atLineStart_) {
        out_->append('\n');
        atLineStart_ = true;
    }
    blankPending_ = false;
}
