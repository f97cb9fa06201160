#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include "printer_line/escpos_requests.h"
#include "printer_line/star_requests.h"

// Stands in for the printer of a channel that has none behind it (PRINTER_STATUS=escpos or
// star): fed the till's bytes as they arrive, cut anywhere, it returns what a healthy,
// online printer with paper and a closed cover sends back, to be written to the till at
// once. The requests answered and their bytes are listed in EscPosRequests and
// StarRequests. The till's bytes are only read, never changed; what goes to the DVR is the
// shaper's business.
//
// One responder per terminal session: reset() (or a new responder) when the till
// reconnects, as a printer's state starts afresh with a new connection.
class StatusResponder {
public:
    enum class Kind { kEscPos, kStar };

    explicit StatusResponder(Kind kind) : kind_(kind) {}

    Kind kind() const { return kind_; }

    // The answer to the requests that `tillBytes` completes, empty when it completes none.
    QByteArray feed(QByteArrayView tillBytes);

    void reset();

private:
    Kind kind_;
    EscPosRequests escPos_;
    StarRequests star_;
};
