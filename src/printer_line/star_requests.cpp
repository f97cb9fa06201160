#include "printer_line/star_requests.h"

namespace {

constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kEtb = 0x17;
constexpr std::uint8_t kCan = 0x18;

constexpr char kEnqStatus = 0x20;
constexpr char kEotStatus = 0x10;
// Header 1 holds the length (nine bytes: bits 5, 3, 2, 1 read 1001) with bit 0 set; header
// 2 is automatic status version 3, whose nine bytes run up to printer status 7.
constexpr char kHeader1 = 0x23;
constexpr char kHeader2 = 0x06;

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
    using Kind = StarCommands::Kind;
    StarCommands::Item item;
    while (!in.isEmpty()) {
        in = in.sliced(commands_.read(in, item));
        switch (item.kind) {
            case Kind::kControl:
            case Kind::kRasterByte:
                answer(item.n, reply);
                break;
            case Kind::kAutoStatus:
                appendAutoStatus(reply, false);
                break;
            case Kind::kAutoStatusSetting:
                autoStatus_ = item.n == 1 || item.n == '1';
                if (autoStatus_) {
                    appendAutoStatus(reply, false);
                }
                break;
            case Kind::kEtbClear:
                etbCounter_ = 0;
                break;
            default:
                break;
        }
    }
}

// The one-byte requests, answered in raster mode too.
void StarRequests::answer(std::uint8_t control, QByteArray& reply) {
    if (control == kEnq) {
        reply.append(kEnqStatus);
    } else if (control == kEot) {
        reply.append(kEotStatus);
    } else if (control == kEtb) {
        etbCounter_ = (etbCounter_ + 1) & 0x1F;
        if (autoStatus_) {
            appendAutoStatus(reply, true);
        }
    } else if (control == kCan) {
        etbCounter_ = 0;
    }
}
