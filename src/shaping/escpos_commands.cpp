#include "shaping/escpos_commands.h"

namespace {

constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kFs = 0x1C;
constexpr std::uint8_t kGs = 0x1D;

quint64 word(std::uint8_t low, std::uint8_t high) {
    return low | quint64{high} << 8;
}

}  // namespace

qsizetype EscPosCommands::readCommand(QByteArrayView in, Item& item) {
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
                kind_ = Kind::kCommand;
                if (c == kEsc) {
                    state_ = State::kEsc;
                } else if (c == kGs) {
                    state_ = State::kGs;
                } else if (c == kFs) {
                    state_ = State::kFs;
                } else if (c == kDle) {
                    state_ = State::kDle;
                } else {
                    item.kind = Kind::kControl;
                    item.n = c;
                    return p - begin;
                }
                break;
            }
            case State::kEsc:
                // A control byte after ESC other than the few ESC commands made of one is
                // the stray ESC's neighbour, not its parameter: an LF there still ends the
                // line, and ESC DLE EOT 1 still asks for status.
                if (*p < 0x20 && *p != '\f' && *p != 0x0E && *p != 0x14) {
                    finishCommand();
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

void EscPosCommands::startEsc(std::uint8_t c) {
    switch (c) {
        case '@':
            done(Kind::kInitialise);
            return;
        case '\f':
        case 'i':
        case 'm':
            done(Kind::kLineEnd);
            return;
        case 't':
            expect(Header::kParameter, 1, Kind::kCodeTable);
            return;
        case 'R':
            expect(Header::kParameter, 1, Kind::kNational);
            return;
        case 'J':
        case 'K':
        case 'd':
        case 'e':
            kind_ = Kind::kLineEnd;
            skip(1);
            return;
        case '$':
        case '\\':
            kind_ = Kind::kPosition;
            skip(2);
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
            finishCommand();
            return;
    }
}

void EscPosCommands::startGs(std::uint8_t c) {
    switch (c) {
        case 'r':
            expect(Header::kParameter, 1, Kind::kPaperStatus);
            return;
        case 'a':
            expect(Header::kParameter, 1, Kind::kAutoStatus);
            return;
        case 'I':
            expect(Header::kParameter, 1, Kind::kPrinterId);
            return;
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
            expect(Header::kCut, 1, Kind::kLineEnd);
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
        case 'T':
        case 'Z':
        case 'b':
        case 'f':
        case 'h':
        case 'j':
        case 'w':
            skip(1);
            return;
        default:
            finishCommand();
            return;
    }
}

void EscPosCommands::startFs(std::uint8_t c) {
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
            param_ = c == '&' ? 1 : 0;
            done(Kind::kMultiByte);
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
            finishCommand();
            return;
    }
}

bool EscPosCommands::startDle(std::uint8_t c) {
    switch (c) {
        case 0x04:
            expect(Header::kStatus, 1, Kind::kRealTimeStatus);
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

void EscPosCommands::onHeader() {
    const std::uint8_t* const n = parameters_.params();
    switch (header_) {
        case Header::kParameter:
            param_ = n[0];
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
            skip(feedsFirst ? 1 : 0);
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
            // DLE EOT 7 and 8 (ink, peeler) carry one more byte.
            param_ = n[0];
            skip(n[0] == 7 || n[0] == 8 ? 1 : 0);
            return;
        case Header::kRealTime:
            skip(n[0] == 8 ? 7 : n[0] == 7 ? 1 : n[0] >= 1 && n[0] <= 3 ? 2 : 0);
            return;
    }
}

void EscPosCommands::finishCommand() {
    if (items_ > 0) {
        expect(itemHeader_, itemHeader_ == Header::kNvImage ? 4 : 1);
        return;
    }
    state_ = State::kText;
    finished_ = true;
}
