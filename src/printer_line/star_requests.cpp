#include "printer_line/star_requests.h"

#include <algorithm>

namespace {

constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kBel = 0x07;
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kSyn = 0x16;
constexpr std::uint8_t kEtb = 0x17;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kEm = 0x19;
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kFs = 0x1C;
constexpr std::uint8_t kGs = 0x1D;
constexpr std::uint8_t kRs = 0x1E;

constexpr char kEnqStatus = 0x20;
constexpr char kEotStatus = 0x10;
// Header 1 holds the length (nine bytes: bits 5, 3, 2, 1 read 1001) with bit 0 set; header
// 2 is automatic status version 3, whose nine bytes run up to printer status 7.
constexpr char kHeader1 = 0x23;
constexpr char kHeader2 = 0x06;

quint64 word(std::uint8_t low, std::uint8_t high) {
    return low | quint64{high} << 8;
}

}  // namespace

void StarRequests::appendAutoStatus(QByteArray& reply, bool etbExecuted) const {
    // The counter's five bits sit in bits 1 to 3 and 5 to 6: bit 4 is fixed off in every
    // status byte, which is how a host tells status bytes from XON and XOFF.
    const int etb = (etbCounter_ & 0x07) << 1 | (etbCounter_ & 0x18) << 2;
    const char status[] = {kHeader1,  kHeader2, etbExecuted ? char(0x02) : char(0), 0, 0, 0, 0,
                           char(etb), 0};
    reply.append(status, sizeof status);
}

void StarRequests::feed(QByteArrayView in, QByteArray& reply) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* const end = p + in.size();
    while (p < end) {
        switch (state_) {
            case State::kIdle: {
                const std::uint8_t c = *p++;
                if (c == kEsc) {
                    state_ = State::kEsc;
                } else if (c == kEnq) {
                    reply.append(kEnqStatus);
                } else if (c == kEot) {
                    reply.append(kEotStatus);
                } else if (c == kEtb) {
                    etbCounter_ = (etbCounter_ + 1) & 0x1F;
                    if (autoStatus_) {
                        appendAutoStatus(reply, true);
                    }
                } else if (c == kCan) {
                    etbCounter_ = 0;
                } else if (raster_ && (c == 'b' || c == 'k')) {
                    expect(Header::kRasterLine, 2);
                }
                break;
            }
            case State::kEsc:
                // A control byte after ESC that starts no ESC command is a command of its
                // own: ESC ENQ still asks for the ENQ status.
                if (*p < 0x20 && *p != kGs && *p != kRs && *p != kAck && *p != kFs && *p != kBel &&
                    *p != kSyn && *p != 0x0E && *p != 0x14 && *p != '\f') {
                    state_ = State::kIdle;
                } else {
                    startEsc(*p++);
                }
                break;
            case State::kEscGs:
                startEscGs(*p++);
                break;
            case State::kEscRs: {
                const std::uint8_t c = *p++;
                if (c == 'a') {
                    expect(Header::kAutoStatusSetting, 1);
                } else if (c == 'E') {
                    expect(Header::kEtbClear, 1);
                } else {
                    // ESC RS F, i, A, c, d, ...: one parameter each.
                    skip(1);
                }
                break;
            }
            case State::kEscAck:
                if (*p == kSoh) {
                    ++p;
                    appendAutoStatus(reply, false);
                    state_ = State::kIdle;
                } else if (*p == kCan) {
                    ++p;
                    state_ = State::kIdle;
                } else {
                    state_ = State::kIdle;
                }
                break;
            case State::kEscFs: {
                const std::uint8_t c = *p++;
                if (c == 'q') {
                    expect(Header::kLogos, 1);
                } else if (c == 'p') {
                    skip(2);
                } else {
                    state_ = State::kIdle;
                }
                break;
            }
            case State::kEscStar:
                if (*p == 'r') {
                    ++p;
                    state_ = State::kRasterCommand;
                } else {
                    state_ = State::kIdle;
                }
                break;
            case State::kRasterCommand: {
                // ESC * r A enters raster mode and ESC * r B leaves it; C clears the image;
                // every other raster setting ends with NUL.
                const std::uint8_t c = *p++;
                if (c == 'A' || c == 'B') {
                    raster_ = c == 'A';
                    state_ = State::kIdle;
                } else if (c == 'C') {
                    state_ = State::kIdle;
                } else {
                    until(0, 16);
                }
                break;
            }
            case State::kCodeCommand: {
                const std::uint8_t c = *p++;
                if (c == 'S') {
                    state_ = State::kCodeSetting;
                } else if (c == 'D') {
                    expect(code_ == 'y' ? Header::kQrData : Header::kPdfData, code_ == 'y' ? 4 : 2);
                } else {
                    // P (print) and I (information) take no parameters.
                    state_ = State::kIdle;
                }
                break;
            }
            case State::kCodeSetting:
                // ESC GS x S 0 n p1 p2 sets the PDF417 size; every other setting is one byte.
                skip(code_ == 'x' && *p == '0' ? 4 : 2);
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
                    done = *p++ == terminator_;
                }
                if (done || untilLeft_ == 0) {
                    finishCommand();
                }
                break;
            }
        }
    }
}

void StarRequests::startEsc(std::uint8_t c) {
    switch (c) {
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
        case 'K':
        case 'L':
            expect(Header::kColumns, 2);
            return;
        case 'X':
            expect(Header::kColumnsTimes3, 2);
            return;
        case 'k':
            expect(Header::kColumnsTimes24, 2);
            return;
        case 'C':
            expect(Header::kPageCorrection, 1);
            return;
        case 'b':
            // Barcode: ESC b n1 n2 n3 n4 d1 ... dk RS.
            until(kRs, 4 + 255 + 1);
            return;
        case 'B':
        case 'D':
            until(0, 64);
            return;
        case '#':
        case '?':
            until(0, 16);
            return;
        case kBel:
        case kSyn:
        case 'i':
        case 's':
        case 't':
            skip(2);
            return;
        case ' ':
        case '$':
        case '%':
        case '-':
        case '/':
        case '3':
        case 'A':
        case 'I':
        case 'J':
        case 'N':
        case 'Q':
        case 'R':
        case 'W':
        case '_':
        case 'a':
        case 'd':
        case 'h':
        case 'l':
        case 'u':
        case 'w':
        case 'x':
        case 'y':
        case 'z':
            skip(1);
            return;
        default:
            state_ = State::kIdle;
            return;
    }
}

void StarRequests::startEscGs(std::uint8_t c) {
    switch (c) {
        case 'S':
            expect(Header::kRasterImage, 6);
            return;
        case 'x':
        case 'y':
            code_ = c;
            state_ = State::kCodeCommand;
            return;
        case '#':
            until(0, 16);
            return;
        case kEm:
            skip(4);
            return;
        case kEtx:
            skip(3);
            return;
        case '4':
        case 'A':
        case 'R':
            skip(2);
            return;
        case 'a':
        case 't':
            skip(1);
            return;
        default:
            state_ = State::kIdle;
            return;
    }
}

void StarRequests::onHeader(QByteArray& reply) {
    const std::uint8_t* const n = params_;
    switch (header_) {
        case Header::kAutoStatusSetting:
            autoStatus_ = n[0] == 1 || n[0] == '1';
            if (autoStatus_) {
                appendAutoStatus(reply, false);
            }
            finishCommand();
            return;
        case Header::kEtbClear:
            etbCounter_ = 0;
            finishCommand();
            return;
        case Header::kColumns:
        case Header::kRasterLine:
            skip(word(n[0], n[1]));
            return;
        case Header::kColumnsTimes3:
            skip(word(n[0], n[1]) * 3);
            return;
        case Header::kColumnsTimes24:
            skip(word(n[0], n[1]) * 24);
            return;
        case Header::kPageCorrection:
            skip(n[0] == 0 ? 1 : 0);
            return;
        case Header::kRasterImage:
            skip(word(n[1], n[2]) * word(n[3], n[4]));
            return;
        case Header::kQrData:
            skip(word(n[2], n[3]));
            return;
        case Header::kPdfData:
            skip(word(n[0], n[1]));
            return;
        case Header::kLogos:
            logos_ = n[0];
            finishCommand();
            return;
        case Header::kLogo:
            --logos_;
            skip(word(n[0], n[1]) * word(n[2], n[3]) * 8);
            return;
    }
}

void StarRequests::expect(Header header, int bytes) {
    header_ = header;
    have_ = 0;
    need_ = bytes;
    state_ = State::kHeader;
}

void StarRequests::skip(quint64 bytes) {
    skip_ = bytes;
    state_ = State::kSkip;
    if (bytes == 0) {
        finishCommand();
    }
}

void StarRequests::until(std::uint8_t terminator, int limit) {
    terminator_ = terminator;
    untilLeft_ = limit;
    state_ = State::kUntil;
}

void StarRequests::finishCommand() {
    if (logos_ > 0) {
        expect(Header::kLogo, 4);
        return;
    }
    state_ = State::kIdle;
}
