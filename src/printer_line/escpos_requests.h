#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include "shaping/escpos_commands.h"

// Finds the status requests of ESC/POS in a till's byte stream and appends what a healthy,
// online TM-T88-class printer with paper and a closed cover answers. The requests are the
// commands EscPosCommands reports, the same reading the command filter drops them by, so
// that bytes inside an image, a barcode or a 2D code are never taken for a request.
// Requests answered (Epson "ESC/POS Command Reference", command pages as named):
//
//   DLE EOT n, n = 1..4 (real-time status)        12     bits 1 and 4 are fixed on; all
//                                                         others off: drawer pin low, online,
//                                                         cover closed, no error, paper ok
//   GS r n, n = 1, 49 (paper sensor status)       00
//   GS r n, n = 2, 50 (drawer kick-out status)    00     pin 3 low
//   GS a n, n enabling any status (ASB)           10 00 00 00, once per GS a: a virtual
//                                                         printer's status never changes
//   GS I n, n = 1, 49 (printer model ID)          20     the TM-T88 family
//   GS I n, n = 2, 50 (type ID)                   02     autocutter, no multi-byte font
//   GS I n, n = 3, 51 (version ID)                01
//   GS I n, n = 65..69 (firmware, maker, model,   5F <text> 00: "1.00", "EPSON",
//   serial number, additional fonts)                     "TM-T88V", "0000000000", ""
//
// The identity is the model tills are most often set up for, so that a driver checking the
// model accepts the channel; it describes no real unit's firmware.
class EscPosRequests {
public:
    void feed(QByteArrayView in, QByteArray& reply);
    void reset() { commands_.reset(); }

private:
    EscPosCommands commands_;
};
