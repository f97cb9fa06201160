#include "printer_line/status_responder.h"

QByteArray StatusResponder::feed(QByteArrayView tillBytes) {
    QByteArray reply;
    if (kind_ == Kind::kEscPos) {
        escPos_.feed(tillBytes, reply);
    } else {
        star_.feed(tillBytes, reply);
    }
    return reply;
}

void StatusResponder::reset() {
    escPos_.reset();
    star_.reset();
}
