#include "shaping/star_filter.h"

void StarFilter::reset() {
    resetKeepingCount(*this);
}

qsizetype StarFilter::feed(QByteArrayView in, QByteArray& out, Event& event) {
    using Kind = StarCommands::Kind;
    event = Event::kNone;
    qsizetype read = 0;
    qsizetype passed = 0;
    StarCommands::Item item;
    while (read < in.size() && event == Event::kNone) {
        read += commands_.read(in.sliced(read), item);
        switch (item.kind) {
            case Kind::kText:
                passed += appendText(item.text, out);
                break;
            case Kind::kControl:
                // Any control but CR, LF, TAB and the feeds (SO, SI, DC2, DC4, CAN, BEL,
                // FS, SUB, EM, RS, ENQ, EOT, ETB, NUL) is a style, a device or a status
                // request: nothing to show.
                if (item.n == '\v') {
                    lineEnd(out);
                } else {
                    passed += appendControl(item.n, out);
                }
                break;
            case Kind::kInitialise:
                lineEnd(out);
                table_ = -1;
                national_ = 0;
                event = Event::kCharacterSet;
                break;
            case Kind::kLineEnd:
                lineEnd(out);
                break;
            case Kind::kPosition:
                position();
                break;
            case Kind::kCodeTable:
                table_ = item.n;
                event = Event::kCharacterSet;
                break;
            case Kind::kNational:
                national_ = item.n;
                event = Event::kCharacterSet;
                break;
            default:
                break;
        }
    }
    dropped_ += read - passed;
    return read;
}
