#include "shaping/star_filter.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kFs = 0x1C;
constexpr std::uint8_t kGs = 0x1D;
constexpr std::uint8_t kRs = 0x1E;
// A parameter list that ends in a terminator is given this many bytes at most, so that a
// lost terminator cannot swallow the rest of the receipt.
constexpr int kTerminatedLimit = 256;

// As for ESC/POS: ASCII from blank to '~', and the upper half of the code table.
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

void StarFilter::reset() {
    resetKeepingCount(*this);
}

qsizetype StarFilter::feed(QByteArrayView in, QByteArray& out, Event& event) {
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
                    if (blankPending_ && *run != ' ') {
                        out.append(' ');
                    }
                    blankPending_ = false;
                    passed += p - run;
                    out.append(reinterpret_cast<const char*>(run), p - run);
                    atLineStart_ = false;
                    continue;
                }
                const std::uint8_t c = *p++;
                if (c == kEsc) {
                    state_ = State::kEsc;
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
                } else if (c == '\f' || c == '\v') {
                    lineEnd();
                }
                // Any other control (SO, SI, DC2, DC4, CAN, BEL, FS, SUB, EM, RS, ENQ, EOT,
                // ETB, NUL) is a style, a device or a status request: nothing to show.
                break;
            }
            case State::kEsc:
                startEsc(*p++);
                break;
            case State::kEscGs:
                startEscGs(*p++);
                break;
            case State::kEscRs:
                // ESC RS F/a/E/A/i/L/c/C/m... n: font, status, margins, colours; one byte each.
                ++p;
                skip(1);
                break;
            case State::kEscFs: {
                const std::uint8_t c = *p++;
                if (c == 'q') {
                    expect(Header::kLogos, 1);
                } else if (c == 'p') {
                    skip(2);
                } else {
                    state_ = State::kText;
                }
                break;
            }
            case State::kEscStar:
                // ESC * r x: the raster commands; anything else after ESC * is no command.
                if (*p++ == 'r') {
                    expect(Header::kRasterCommand, 1);
                } else {
                    finishCommand();
                }
                break;
            case State::kRaster: {
                // Between ESC * r A and ESC * r B only raster commands and data blocks
                // ("b n1 n2 d..." and "k n1 n2 d..."); nothing of it is text.
                const std::uint8_t c = *p++;
                if (c == kEsc) {
                    state_ = State::kEsc;
                } else if (c == 'b' || c == 'k') {
                    expect(Header::kRasterData, 2);
                }
                break;
            }
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
                    done = *p++ == terminator_;
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

void StarFilter::startEsc(std::uint8_t c) {
    switch (c) {
        case '@':
            lineEnd();
            table_ = -1;
            national_ = 0;
            raster_ = false;
            changed_ = true;
            state_ = State::kText;
            return;
        case kGs:
            state_ = State::kEscGs;
            return;
        case kRs:
            state_ = State::kEscRs;
            return;
        case kFs:
            state_ = State::kEscFs;
            return;
        case '*':
            state_ = State::kEscStar;
            return;
        case 'R':
            expect(Header::kNational, 1);
            return;
        case 'a':
        case 'J':
        case 'I':
        case 'd':
            // Feed n lines, feed n/4 mm or n/8 mm, cut: the paper moves on.
            skip(1, After::kLineEnd);
            return;
        case 'C':
            expect(Header::kPageLength, 1);
            return;
        case 'K':
        case 'L':
            expect(Header::kBitImage, 2);
            return;
        case 'k':
        case 'X':
            expect(Header::kBitImage24, 2);
            return;
        case '&':
            expect(Header::kDownloadChar, 3);
            return;
        case 'b':
            expect(Header::kBarcode, 4);
            return;
        case 'B':
        case 'D':
            until(0, kTerminatedLimit);
            return;
        case 'r':
            skip(2 + 72);
            return;
        case '?':
            skip(2);
            return;
        case 'i':
        case 's':
        case 't':
        case 0x07:
            skip(2);
            return;
        case '/':
        case ' ':
        case 'W':
        case 'h':
        case '-':
        case '_':
        case 'z':
        case 'A':
        case '3':
        case 'y':
        case 'N':
        case 'l':
        case 'Q':
        case '%':
        case '$':
        case 0x06:  // ESC ACK SOH / CAN: status requests
        case '\f':  // ESC FF NUL / EOT: raster form feed and end of transmission
            skip(1);
            return;
        default:
            // No parameters (ESC E, ESC F, ESC 4, ESC 5, ESC M, ESC P, ESC :, ESC 0, ESC 2,
            // ESC O, ESC SO, ESC DC4, ...), or unknown; either way its byte is gone.
            finishCommand();
            return;
    }
}

void StarFilter::startEscGs(std::uint8_t c) {
    switch (c) {
        case 't':
            expect(Header::kCodeTable, 1);
            return;
        case 'y':
            expect(Header::kQrCode, 1);
            return;
        case 'x':
            expect(Header::kPdf417, 1);
            return;
        case 'S':
            expect(Header::kRasterImage, 6);
            return;
        case '#':
            until(0, kTerminatedLimit);
            return;
        case 0x19:  // EM DC1/DC2 m n1 n2: drive the drawer or the buzzer
            skip(4);
            return;
        case 0x03:  // ETX s n1 n2: status transmission settings
            skip(3);
            return;
        case 'A':
        case 'R':
            // Absolute and relative print position: columns set apart by position keep
            // a blank between them.
            skip(2, After::kBlank);
            return;
        case 'h':
            skip(2);
            return;
        case 'a':
        case 'P':
        case 'g':
        case 'r':
            skip(1);
            return;
        default:
            finishCommand();
            return;
    }
}

void StarFilter::onHeader() {
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
        case Header::kPageLength:
            // ESC C n sets lines; ESC C NUL n inches.
            skip(n[0] == 0 ? 1 : 0);
            return;
        case Header::kBitImage:
            skip(word(n[0], n[1]));
            return;
        case Header::kBitImage24:
            skip(3 * word(n[0], n[1]));
            return;
        case Header::kDownloadChar:
            // ESC & c1 c2 n d1...d48 registers a character; without data it deletes one.
            skip(n[1] != 0 ? 48 : 0);
            return;
        case Header::kBarcode:
            until(kRs, kTerminatedLimit);
            return;
        case Header::kLogos:
            items_ = n[0];
            finishCommand();
            return;
        case Header::kLogo:
            --items_;
            skip(word(n[0], n[1]) * word(n[2], n[3]) * 8);
            return;
        case Header::kQrCode:
            // ESC GS y S 0|1|2 n settings, ESC GS y D 1 m nL nH d... data, ESC GS y D 2
            // nL nH d... (automatic), ESC GS y P print, ESC GS y I information.
            if (n[0] == 'S') {
                skip(2);
            } else if (n[0] == 'D') {
                expect(Header::kQrData, 1);
            } else {
                finishCommand();
            }
            return;
        case Header::kQrData:
            if (n[0] == '1') {
                expect(Header::kQrAutoData, 3);
            } else {
                expect(Header::kLengthData, 2);
            }
            return;
        case Header::kQrAutoData:
            skip(word(n[1], n[2]));
            return;
        case Header::kPdf417:
            // ESC GS x S 0 n p1 p2, ESC GS x S 1|2|3 n, ESC GS x D nL nH d..., P, I.
            if (n[0] == 'S') {
                expect(Header::kPdf417Setting, 1);
            } else if (n[0] == 'D') {
                expect(Header::kLengthData, 2);
            } else {
                finishCommand();
            }
            return;
        case Header::kPdf417Setting:
            skip(n[0] == '0' ? 3 : 1);
            return;
        case Header::kLengthData:
            skip(word(n[0], n[1]));
            return;
        case Header::kRasterImage:
            // ESC GS S m xL xH yL yH n d...: x bytes across, y dots down.
            skip(word(n[1], n[2]) * word(n[3], n[4]));
            return;
        case Header::kRasterCommand:
            switch (n[0]) {
                case 'A':
                    // Raster mode prints what is buffered first, as a form feed does.
                    lineEnd();
                    raster_ = true;
                    finishCommand();
                    return;
                case 'B':
                    raster_ = false;
                    finishCommand();
                    return;
                case 'R':
                case 'C':
                    finishCommand();
                    return;
                case 'm':
                    expect(Header::kRasterMargin, 1);
                    return;
                default:
                    until(0, kTerminatedLimit);
                    return;
            }
        case Header::kRasterMargin:
            // ESC * r m l|r n NUL
            until(0, kTerminatedLimit);
            return;
        case Header::kRasterData:
            skip(word(n[0], n[1]));
            return;
    }
}

void StarFilter::expect(Header header, int bytes) {
    header_ = header;
    have_ = 0;
    need_ = bytes;
    state_ = State::kHeader;
}

void StarFilter::skip(quint64 bytes, After after) {
    after_ = after;
    skip_ = bytes;
    state_ = State::kSkip;
    if (bytes == 0) {
        finishCommand();
    }
}

void StarFilter::until(std::uint8_t terminator, int limit) {
    terminator_ = terminator;
    untilLeft_ = limit;
    state_ = State::kUntil;
}

void StarFilter::finishCommand() {
    if (items_ > 0) {
        expect(Header::kLogo, 4);
        return;
    }
    state_ = raster_ ? State::kRaster : State::kText;
    if (after_ == After::kLineEnd) {
        lineEnd();
    } else if (after_ == After::kBlank && !atLineStart_) {
        blankPending_ = true;
    }
    after_ = After::kNothing;
}

void StarFilter::lineEnd() {
    if (!atLineStart_) {
        out_->append('\n');
        atLineStart_ = true;
    }
    blankPending_ = false;
}
