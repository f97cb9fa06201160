#include "printer_line/escpos_requests.h"

#include <algorithm>

namespace {

constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kFs = 0x1C;
constexpr std::uint8_t kGs = 0x1D;

// DLE EOT n: bits 1 and 4 are fixed on, every other bit off is the healthy state of all
// four status kinds (printer, off-line cause, error cause, paper roll sensor).
constexpr char kRealTimeStatus = 0x12;
// GS a: first byte has bit 4 fixed on and nothing else set; bytes 2 to 4 report no error
// and paper present.
constexpr char kAutoStatus[] = {0x10, 0x00, 0x00, 0x00};
constexpr char kModelId = 0x20;  // TM-T88 family
constexpr char kTypeId = 0x02;   // autocutter installed, no two-byte characters
constexpr char kVersionId = 0x01;
constexpr char kInfoHeader = 0x5F;

quint64 word(std::uint8_t low, std::uint8_t high) {
    return low | quint64{high} << 8;
}

void appendInfo(QByteArray& reply, const char* text) {
    reply.append(kInfoHeader);
    reply.append(text);
    reply.append('\0');
}

}  // namespace

void EscPosRequests::feed(QByteArrayView in, QByteArray& reply) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = p + in.size();
    while (p < end) {
        switch (state_) {
            case State::kIdle: {
                const std::uint8_t c = *p++;
                state_ = c == kEsc   ? State::kEsc
                         : c == kGs  ? State::kGs
                         : c == kFs  ? State::kFs
                         : c == kDle ? State::kDle
                                     : State::kIdle;
                break;
            }
            case State::kEsc:
                // A control byte after ESC other than the few ESC commands made of one
                // starts a command of its own (ESC DLE EOT 1 still asks for status).
                if (*p < 0x20 && *p != '\f' && *p != 0x0E && *p != 0x14) {
                    state_ = State::kIdle;
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
                if (startDle(*p)) {
                    ++p;
                } else {
                    state_ = State::kIdle;
                }
                break;
            case State::kHeader: {
                const int take = static_cast<int>(std::min<qsizetype>(need_ - have_, end - p));
                std::copy(p, p + take, params_ + have_);
                have_ += take;
                p += take;
                if (have_ == need_) {
                    onHeader(reply);
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
    }
}

void EscPosRequests::startEsc(std::uint8_t c) {
    switch (c) {
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
        case 'W':
            skip(8);
            return;
        case 'p':
            skip(3);
            return;
        case '$':
        case '\\':
        case 'c':
            skip(2);
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
        case 'J':
        case 'K':
        case 'M':
        case 'R':
        case 'T':
        case 'U':
        case 'V':
        case 'a':
        case 'd':
        case 'e':
        case 'r':
        case 't':
        case 'u':
        case '{':
            skip(1);
            return;
        default:
            state_ = State::kIdle;
            return;
    }
}

void EscPosRequests::startGs(std::uint8_t c) {
    switch (c) {
        case 'r':
            expect(Header::kPaperStatus, 1);
            return;
        case 'a':
            expect(Header::kAutoStatus, 1);
            return;
        case 'I':
            expect(Header::kPrinterId, 1);
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
            state_ = State::kIdle;
            return;
    }
}

void EscPosRequests::startFs(std::uint8_t c) {
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
            state_ = State::kIdle;
            return;
    }
}

bool EscPosRequests::startDle(std::uint8_t c) {
    switch (c) {
        case 0x04:
            expect(Header::kRealTimeStatus, 1);
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

void EscPosRequests::onHeader(QByteArray& reply) {
    const std::uint8_t* const n = params_;
    switch (header_) {
        case Header::kRealTimeStatus:
            if (n[0] >= 1 && n[0] <= 4) {
                reply.append(kRealTimeStatus);
            }
            // DLE EOT 7 and 8 (ink, peeler) carry one more byte; a TM-T88 does not answer.
            skip(n[0] == 7 || n[0] == 8 ? 1 : 0);
            return;
        case Header::kRealTime:
            skip(n[0] == 8 ? 7 : n[0] == 7 ? 1 : n[0] >= 1 && n[0] <= 3 ? 2 : 0);
            return;
        case Header::kPaperStatus:
            if (n[0] == 1 || n[0] == 2 || n[0] == 49 || n[0] == 50) {
                reply.append('\0');
            }
            finishCommand();
            return;
        case Header::kAutoStatus:
            if ((n[0] & 0x0F) != 0) {
                reply.append(kAutoStatus, sizeof kAutoStatus);
            }
            finishCommand();
            return;
        case Header::kPrinterId:
            switch (n[0]) {
                case 1:
                case 49:
                    reply.append(kModelId);
                    break;
                case 2:
                case 50:
                    reply.append(kTypeId);
                    break;
                case 3:
                case 51:
                    reply.append(kVersionId);
                    break;
                case 65:
                    appendInfo(reply, "1.00");
                    break;
                case 66:
                    appendInfo(reply, "EPSON");
                    break;
                case 67:
                    appendInfo(reply, "TM-T88V");
                    break;
                case 68:
                    appendInfo(reply, "0000000000");
                    break;
                case 69:
                    appendInfo(reply, "");
                    break;
                default:
                    break;
            }
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
    }
}

void EscPosRequests::expect(Header header, int bytes) {
    header_ = header;
    have_ = 0;
    need_ = bytes;
    state_ = State::kHeader;
}

void EscPosRequests::skip(quint64 bytes) {
    skip_ = bytes;
    state_ = State::kSkip;
    if (bytes == 0) {
        finishCommand();
    }
}

void EscPosRequests::until(std::uint8_t terminator, int count, int limit) {
    terminator_ = terminator;
    terminators_ = count;
    untilLeft_ = limit;
    state_ = State::kUntil;
}

void EscPosRequests::finishCommand() {
    if (items_ > 0) {
        expect(itemHeader_, itemHeader_ == Header::kNvImage ? 4 : 1);
        return;
    }
    state_ = State::kIdle;
}
