#include "app/frmKavelin.h"
#include "shaping/shaper.h"

void frmKavelin::applyShaping(int index, const std::optional<ShapingOptions>& options) {
    Channel::Shaping& s = channel(index).shaping;
    if (options == s.options) {
        return;
    }
    // What the old rules hold goes out under them.
    endShaping(index);
    s.options = options;
    s.shaper.reset();
    if (!options || !options->any()) {
        return;
    }
    s.shaper = std::make_unique<Shaper>(*options);
    // Without LINES the timer still releases a card number's run held back at the end of
    // an arrival.
    if ((options->lines || options->maskPan) && !s.idle) {
        s.idle = new QTimer(&channel(index));
        s.idle->setSingleShot(true);
        connect(s.idle, &QTimer::timeout, this, [this, index] {
            if (Shaper* shaper = channel(index).shaping.shaper.get()) {
                QList<QByteArray> pieces;
                shaper->flush(pieces);
                if (shaper->hasPartial()) {
                    // A card number's run held back: it goes out at the next wait's end.
                    channel(index).shaping.idle->start();
                }
                forwardPieces(index, pieces);
            }
        });
    }
    if (s.idle) {
        s.idle->setInterval(options->lineIdleMs);
    }
}

void frmKavelin::shapeArrival(int index, const QByteArray& text) {
    Channel::Shaping& s = channel(index).shaping;
    QList<QByteArray> pieces;
    s.shaper->feed(text, pieces);
    if (s.idle) {
        // The wait is for a pause in the terminal's bytes, so each arrival starts it anew.
        if (s.shaper->hasPartial()) {
            s.idle->start();
        } else {
            s.idle->stop();
        }
    }
    forwardPieces(index, pieces);
}

void frmKavelin::forwardPieces(int index, const QList<QByteArray>& pieces) {
    if (!sendPieces(index, pieces)) {
        // As for an arrival forwarded whole: nothing is retried, the channel is rebuilt.
        forwardingFailed(index);
    }
}

bool frmKavelin::sendPieces(int index, const QList<QByteArray>& pieces) {
    if (pieces.isEmpty()) {
        return true;
    }
    // One send for all the lines of an arrival: a call to the kernel per line would cost
    // more than the shaping itself.
    qsizetype size = 0;
    for (const QByteArray& piece : pieces) {
        size += piece.size() + 2;
    }
    QByteArray lines;
    lines.reserve(size);
    for (const QByteArray& piece : pieces) {
        lines.append(piece).append("\r\n");
    }
    try {
        tcpClient(index)->SendData(lines);
        if (PrinterOn == 1) {
            for (const QByteArray& piece : pieces) {
                PrintText(index, piece);
            }
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void frmKavelin::endShaping(int index) {
    Channel::Shaping& s = channel(index).shaping;
    if (!s.shaper) {
        return;
    }
    if (s.idle) {
        s.idle->stop();
    }
    QList<QByteArray> pieces;
    s.shaper->finish(pieces);
    if (DvrConnected(index) == kFalse || tcpClient(index)->State() != Winsock::sckConnected) {
        return;
    }
    // Called while a link or the terminal ends, so a failed send changes nothing more: the
    // link's own close, or the next arrival, reconnects it.
    sendPieces(index, pieces);
}
