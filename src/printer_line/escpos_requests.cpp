#include "printer_line/escpos_requests.h"

namespace {

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

void appendInfo(QByteArray& reply, const char* text) {
    reply.append(kInfoHeader);
    reply.append(text);
    reply.append('\0');
}

void appendPrinterId(QByteArray& reply, std::uint8_t n) {
    switch (n) {
        case 1:
        case 49:
            reply.append(kModelId);
            return;
        case 2:
        case 50:
            reply.append(kTypeId);
            return;
        case 3:
        case 51:
            reply.append(kVersionId);
            return;
        case 65:
            appendInfo(reply, "1.00");
            return;
        case 66:
            appendInfo(reply, "EPSON");
            return;
        case 67:
            appendInfo(reply, "TM-T88V");
            return;
        case 68:
            appendInfo(reply, "0000000000");
            return;
        case 69:
            appendInfo(reply, "");
            return;
        default:
            return;
    }
}

}  // namespace

void EscPosRequests::feed(QByteArrayView in, QByteArray& reply) {
    using Kind = EscPosCommands::Kind;
    EscPosCommands::Item item;
    while (!in.isEmpty()) {
        in = in.sliced(commands_.read(in, item));
        const std::uint8_t n = item.n;
        switch (item.kind) {
            case Kind::kRealTimeStatus:
                // DLE EOT 7 and 8 (ink, peeler): a TM-T88 does not answer.
                if (n >= 1 && n <= 4) {
                    reply.append(kRealTimeStatus);
                }
                break;
            case Kind::kPaperStatus:
                if (n == 1 || n == 2 || n == 49 || n == 50) {
                    reply.append('\0');
                }
                break;
            case Kind::kAutoStatus:
                if ((n & 0x0F) != 0) {
                    reply.append(kAutoStatus, sizeof kAutoStatus);
                }
                break;
            case Kind::kPrinterId:
                appendPrinterId(reply, n);
                break;
            default:
                break;
        }
    }
}
