#include "shaping/escpos_filter.h"

void EscPosFilter::reset() {
    resetKeepingCount(*this);
}

qsizetype EscPosFilter::feed(QByteArrayView in, QByteArray& out, Event& event) {
    using Kind = EscPosCommands::Kind;
    event = Event::kNone;
    qsizetype read = 0;
    qsizetype passed = 0;
    EscPosCommands::Item item;
    while (read < in.size() && event == Event::kNone) {
        read += commands_.read(in.sliced(read), item);
        switch (item.kind) {
            case Kind::kText:
                passed += appendText(item.text, out);
                break;
            case Kind::kControl:
                passed += appendControl(item.n, out);
                break;
            case Kind::kInitialise:
                // The character set goes back to the printer's own. Text before it belongs
                // to the receipt before, so it ends the line rather than vanish from the
                // printer's buffer as it would on paper.
                lineEnd(out);
                table_ = -1;
                multiByte_ = -1;
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
            case Kind::kMultiByte:
                multiByte_ = item.n;
                event = Event::kCharacterSet;
                break;
            default:
                break;
        }
    }
    dropped_ += read - passed;
    return read;
}
