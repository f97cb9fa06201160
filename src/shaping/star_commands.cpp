#include "shaping/star_commands.h"

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kBel = 0x07;
constexpr std::uint8_t kSo = 0x0E;
constexpr std::uint8_t kDc4 = 0x14;
constexpr std::uint8_t kSyn = 0x16;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kEm = 0x19;
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kFs = 0x1C;
constexpr std::uint8_t kGs = 0x1D;
constexpr std::uint8_t kRs = 0x1E;
// A parameter list that ends in a terminator is given this many bytes at most, so that a
// lost terminator cannot swallow the rest of the receipt.
constexpr int kTerminatedLimit = 256;
// The memory switch settings (ESC # ... LF NUL) are short.
constexpr int kSettingLimit = 16;

quint64 word(std::uint8_t low, std::uint8_t high) {
    return low | quint64{high} << 8;
}

// The control bytes that, after ESC, are part of an ESC command.
bool continuesEsc(std::uint8_t c) {
    switch (c) {
        case kGs:
        case kRs:
        case kAck:
        case kFs:
        case kBel:
        case kSyn:
        case kSo:
        case kDc4:
        case '\f':
            return true;
        default:
            return c >= 0x20;
    }
}

}  // namespace

qsizetype StarCommands::readCommand(QByteArrayView in, Item& item) {
    item.kind = Kind::kNone;
    finished_ = false;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = begin + in.size();
    const auto* p = begin;
    while (p < end && !finished_) {
        switch (state_) {
            case State::kText: {
                if (readText(p, end, item)) {
                    return p - begin;
                }
                const std::uint8_t c = *p++;
                if (c != kEsc) {
                    item.kind = Kind::kControl;
                    item.n = c;
                    return p - begin;
                }
                kind_ = Kind::kCommand;
                state_ = State::kEsc;
                break;
            }
            case State::kRaster: {
                // Between ESC * r A and ESC * r B only raster commands and data blocks
                // ("b n1 n2 d..." and "k n1 n2 d..."); nothing of it is text.
                const std::uint8_t c = *p++;
                kind_ = Kind::kCommand;
                if (c == kEsc) {
                    state_ = State::kEsc;
                } else if (c == 'b' || c == 'k') {
                    expect(Header::kRasterData, 2);
                } else {
                    item.kind = Kind::kRasterByte;
                    item.n = c;
                    return p - begin;
                }
                break;
            }
            case State::kEsc:
                // A control byte after ESC that starts no ESC command is a command of its
                // own: ESC ENQ still asks for the ENQ status, ESC LF still ends the line.
                if (continuesEsc(*p)) {
                    startEsc(*p++);
                } else {
                    finishCommand();
                }
                break;
            case State::kEscGs:
                startEscGs(*p++);
                break;
            case State::kEscRs: {
                // ESC RS F/a/E/A/i/L/c/C/m... n: font, status, margins, colours; one byte each.
                const std::uint8_t c = *p++;
                if (c == 'a') {
                    expect(Header::kParameter, 1, Kind::kAutoStatusSetting);
                } else if (c == 'E') {
                    expect(Header::kParameter, 1, Kind::kEtbClear);
                } else {
                    skip(1);
                }
                break;
            }
            case State::kEscAck:
                // ESC ACK SOH asks for the automatic status, ESC ACK CAN resets the printer's
                // buffers; any other byte is not theirs.
                if (*p == kSoh) {
                    ++p;
                    done(Kind::kAutoStatus);
                } else {
                    p += *p == kCan ? 1 : 0;
                    finishCommand();
                }
                break;
            case State::kEscFs: {
                const std::uint8_t c = *p++;
                if (c == 'q') {
                    expect(Header::kLogos, 1);
                } else if (c == 'p') {
                    skip(2);
                } else {
                    finishCommand();
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
            case State::kParameters:
                readParameters(p, end);
                break;
        }
    }
    return report(item, p - begin);
}

void StarCommands::startEsc(std::uint8_t c) {
    switch (c) {
        case '@':
            raster_ = false;
            done(Kind::kInitialise);
            return;
        case kGs:
            state_ = State::kEscGs;
            return;
        case kRs:
            state_ = State::kEscRs;
            return;
        case kAck:
            state_ = State::kEscAck;
            return;
        case kFs:
            state_ = State::kEscFs;
            return;
        case '*':
            state_ = State::kEscStar;
            return;
        case 'R':
            expect(Header::kParameter, 1, Kind::kNational);
            return;
        case 'a':
        case 'J':
        case 'I':
        case 'd':
            // Feed n lines, feed n/4 mm or n/8 mm, cut: the paper moves on.
            kind_ = Kind::kLineEnd;
            skip(1);
            return;
        case 'C':
            expect(Header::kPageLength, 1);
            return;
        case 'K':
        case 'L':
            expect(Header::kBitImage, 2);
            return;
        case 'X':
            expect(Header::kBitImage24, 2);
            return;
        case 'k':
            expect(Header::kFineBitImage, 2);
            return;
        case '&':
            expect(Header::kDownloadChar, 3);
            return;
        case 'b':
            expect(Header::kBarcode, 4);
            return;
        case 'B':
        case 'D':
            until(0, 1, kTerminatedLimit);
            return;
        case '#':
            until(0, 1, kSettingLimit);
            return;
        case 'r':
            skip(2 + 72);
            return;
        case '?':
        case 'i':
        case 's':
        case 't':
        case kBel:
        case kSyn:
            skip(2);
            return;
        case ' ':
        case '$':
        case '%':
        case '-':
        case '/':
        case '3':
        case 'A':
        case 'N':
        case 'Q':
        case 'W':
        case '_':
        case 'h':
        case 'l':
        case 'u':
        case 'w':
        case 'x':
        case 'y':
        case 'z':
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

void StarCommands::startEscGs(std::uint8_t c) {
    switch (c) {
        case 't':
            expect(Header::kParameter, 1, Kind::kCodeTable);
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
            until(0, 1, kTerminatedLimit);
            return;
        case kEm:  // EM DC1/DC2 m n1 n2: drive the drawer or the buzzer
            skip(4);
            return;
        case kEtx:  // ETX s n1 n2: status transmission settings
            skip(3);
            return;
        case 'A':
        case 'R':
            kind_ = Kind::kPosition;
            skip(2);
            return;
        case '4':
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

void StarCommands::onHeader() {
    const std::uint8_t* const n = parameters_.params();
    switch (header_) {
        case Header::kParameter:
            param_ = n[0];
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
        case Header::kFineBitImage:
            skip(24 * word(n[0], n[1]));
            return;
        case Header::kDownloadChar:
            // ESC & c1 c2 n d1...d48 registers a character; without data it deletes one.
            skip(n[1] != 0 ? 48 : 0);
            return;
        case Header::kBarcode:
            until(kRs, 1, kTerminatedLimit);
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
                    raster_ = true;
                    done(Kind::kLineEnd);
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
                    until(0, 1, kTerminatedLimit);
                    return;
            }
        case Header::kRasterMargin:
            // ESC * r m l|r n NUL
            until(0, 1, kTerminatedLimit);
            return;
        case Header::kRasterData:
            skip(word(n[0], n[1]));
            return;
    }
}

void StarCommands::finishCommand() {
    if (items_ > 0) {
        expect(Header::kLogo, 4);
        return;
    }
    state_ = raster_ ? State::kRaster : State::kText;
    finished_ = true;
}
