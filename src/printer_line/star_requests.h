#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>

#include "shaping/star_commands.h"

// Finds the status requests of Star Line Mode (and StarPRNT, which shares them) in a till's
// byte stream and appends what a healthy, online printer with paper and a closed cover
// answers. The requests are the commands StarCommands reports, the same reading the command
// filter drops them by, so that the bytes of an image or a code are never taken for one. Requests
// answered (Star Micronics "STAR Line Mode Command Specifications", section 3 "Status" and
// Appendix "Status Specifications"):
//
//   ENQ                      20   ENQ status: receive buffer empty, no error, paper present
//   EOT                      10   EOT status: bit 4 fixed on, paper present, no near end
//   ESC ACK SOH              23 06 00 00 00 00 00 <etb> 00, the automatic status: header 1
//                                 says nine bytes, header 2 version 3; online, cover closed,
//                                 no error, paper present; <etb> the ETB counter
//   ESC RS a n, n = 1, 49    the automatic status once, and from then on after each ETB
//   ETB                      with automatic status on, the automatic status with "ETB
//                                 executed" (bit 1 of the third byte) and the counter one up
//
// The ETB counter starts at 0 and is cleared by ESC RS E n and CAN, as on the printer.
class StarRequests {
public:
    void feed(QByteArrayView in, QByteArray& reply);
    void reset() { *this = StarRequests(); }

private:
    void answer(std::uint8_t control, QByteArray& reply);
    void appendAutoStatus(QByteArray& reply, bool etbExecuted) const;

    StarCommands commands_;
    bool autoStatus_ = false;
    int etbCounter_ = 0;
};
