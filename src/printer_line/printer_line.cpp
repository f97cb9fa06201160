#include "app/frmKavelin.h"
#include "printer_line/status_responder.h"
#include "serial/serial_line.h"

namespace {

QString printerName(const PrinterLineOptions& options) {
    if (options.printer == PrinterLineOptions::Printer::kSerial) {
        return options.printerSerial.port;
    }
    const bool v6 = options.printerHost.contains(QLatin1Char(':'));
    return (v6 ? QLatin1Char('[') + options.printerHost + QLatin1Char(']') : options.printerHost) +
           QLatin1Char(':') + QString::number(options.printerPort);
}

void logPrinter(QtMsgType type, int index, const PrinterLineOptions& options, const QString& what) {
    const QString printer = printerName(options);
    event_log::channelLine(
        type, lcPrint(), {index, printer},
        QStringLiteral("channel %1: printer %2 %3").arg(index).arg(printer, what));
}

constexpr int kReachPrinterMs = 3000;

}  // namespace

void frmKavelin::applyPrinterLine(int index, const std::optional<PrinterLineOptions>& options) {
    Channel& row = channel(index);
    Channel::PrinterLine& line = row.printerLine;
    if (options == line.options) {
        return;
    }
    closePrinterFor(index);
    stopSerialLines(index);
    delete std::exchange(line.printer, nullptr);
    delete std::exchange(line.printerSerial, nullptr);
    delete std::exchange(line.terminalSerial, nullptr);
    line.responder.reset();
    line.options = options;
    // By default a DVR that stops reading slows its terminal down.
    tcpServer(index)->throttleBy(tcpClient(index));
    if (!options) {
        return;
    }
    if (options->status != PrinterStatus::kNone) {
        line.responder = std::make_unique<StatusResponder>(options->status == PrinterStatus::kStar
                                                               ? StatusResponder::Kind::kStar
                                                               : StatusResponder::Kind::kEscPos);
    }
    if (options->posSerial) {
        line.terminalSerial = new SerialLine(
            index, *options->posSerial,
            options->tap ? SerialLine::Mode::kTap : SerialLine::Mode::kReadWrite, &row);
        connect(line.terminalSerial, &SerialLine::opened, this, [this, index] {
            paintLabel(lbPCStatus(index), QStringLiteral("Listening"), look::kYellow, look::kBlack);
            emit bridgeChanged();
        });
        connect(line.terminalSerial, &SerialLine::vanished, this, [this, index] {
            endTerminalSession(index, "gone with its serial line");
            PosConnected(index) = kFalse;
            paintLabel(lbPCStatus(index), QStringLiteral("Closed"), look::kRed, look::kWhite);
            emit bridgeChanged();
        });
        connect(line.terminalSerial, &SerialLine::bytesArrived, this,
                [this, index](const QByteArray& bytes) { serialTerminalBytes(index, bytes); });
        // Read on once the DVR has taken what held the line back (see serialTerminalBytes).
        connect(tcpClient(index), &Winsock::drained, line.terminalSerial, [this, index] {
            if (!channel(index).servesWithoutDvr()) {
                channel(index).printerLine.terminalSerial->setReadingPaused(false);
            }
        });
    }
    if (options->printer == PrinterLineOptions::Printer::kTcp) {
        line.printer = new Winsock(&row);
        line.printer->KeepIncoming(true);
        line.printer->RemoteHost(options->printerHost);
        line.printer->RemotePort(options->printerPort);
        // The till is read only as fast as its printer takes the bytes; the printer's
        // answers only as fast as the till takes them. The DVR slows neither.
        tcpServer(index)->throttleBy(line.printer);
        line.printer->throttleBy(tcpServer(index));
        connect(line.printer, &Winsock::connected, this, [this, index] { printerReached(index); });
        connect(line.printer, &Winsock::error, this,
                [this, index](int, const QString& why) { printerFailed(index, why); });
        connect(line.printer, &Winsock::closed, this,
                [this, index] { printerFailed(index, QStringLiteral("closed the connection")); });
        line.printer->onDataArrival([this, index](qint32) {
            QByteArray answer;
            channel(index).printerLine.printer->GetData(answer);
            channel(index).printerLine.bytesFromPrinter += answer.size();
            writeToTill(index, answer);
        });
        line.reachBound = new QTimer(line.printer);
        line.reachBound->setSingleShot(true);
        line.reachBound->setInterval(kReachPrinterMs);
        connect(line.reachBound, &QTimer::timeout, this, [this, index] {
            printerFailed(index,
                          QStringLiteral("not reached within %1 s").arg(kReachPrinterMs / 1000));
        });
    } else if (options->printer == PrinterLineOptions::Printer::kSerial) {
        line.printerSerial =
            new SerialLine(index, options->printerSerial, SerialLine::Mode::kReadWrite, &row);
        connect(line.printerSerial, &SerialLine::bytesArrived, this,
                [this, index](const QByteArray& answer) {
                    channel(index).printerLine.bytesFromPrinter += answer.size();
                    writeToTill(index, answer);
                });
        connect(line.printerSerial, &SerialLine::bytesWritten, this,
                [this, index] { sendToSerialPrinter(index); });
        connect(line.printerSerial, &SerialLine::opened, this,
                [this, index] { sendToSerialPrinter(index); });
    }
}

void frmKavelin::startSerialLines(int index) {
    Channel::PrinterLine& line = channel(index).printerLine;
    if (line.printerSerial) {
        line.printerSerial->start();
    }
}

void frmKavelin::stopSerialLines(int index) {
    Channel::PrinterLine& line = channel(index).printerLine;
    for (SerialLine* serial : {line.printerSerial, line.terminalSerial}) {
        if (serial) {
            serial->stop();
        }
    }
    line.waiting.clear();
}

void frmKavelin::openPrinterFor(int index) {
    Channel::PrinterLine& line = channel(index).printerLine;
    if (line.responder) {
        line.responder->reset();
    }
    if (!line.printer) {
        return;
    }
    line.waiting.clear();
    line.closeOnceSent = false;
    line.printer->Connect();
    line.reachBound->start();
}

void frmKavelin::printerReached(int index) {
    Channel::PrinterLine& line = channel(index).printerLine;
    line.reachBound->stop();
    logPrinter(QtInfoMsg, index, *line.options, QStringLiteral("connected"));
    if (!line.waiting.isEmpty()) {
        line.bytesToPrinter += line.waiting.size();
        line.printer->SendData(std::exchange(line.waiting, {}));
    }
    // From now on the printer's own queue holds the till back.
    tcpServer(index)->PauseReading(false);
    if (std::exchange(line.closeOnceSent, false)) {
        // Queued bytes still go out in the background, then FIN.
        line.printer->Close();
    }
    emit bridgeChanged();
}

void frmKavelin::printerFailed(int index, const QString& why) {
    Channel::PrinterLine& line = channel(index).printerLine;
    if (!line.printer || line.printer->State() == Winsock::sckClosed) {
        return;
    }
    line.reachBound->stop();
    line.printer->Close();
    line.waiting.clear();
    line.closeOnceSent = false;
    // The till sees its printer offline, as it would with no bridge between them; what it
    // sent before has gone to the DVR already.
    logPrinter(QtWarningMsg, index, *line.options,
               why + QStringLiteral("; the terminal is let go"));
    if (channel(index).session()) {
        dropTerminal(index, "let go as its printer is gone");
    }
    emit bridgeChanged();
}

void frmKavelin::closePrinterFor(int index) {
    Channel::PrinterLine& line = channel(index).printerLine;
    if (!line.printer || line.printer->State() == Winsock::sckClosed) {
        return;
    }
    if (line.printer->State() == Winsock::sckConnected) {
        line.printer->Close();
    } else if (!line.waiting.isEmpty()) {
        line.closeOnceSent = true;  // still being reached: the bytes go once it is
    } else {
        line.reachBound->stop();
        line.printer->Close();
    }
}

void frmKavelin::tillBytes(int index, const QByteArray& bytes) {
    Channel::PrinterLine& line = channel(index).printerLine;
    if (line.printer) {
        if (line.printer->State() == Winsock::sckConnected) {
            line.bytesToPrinter += bytes.size();
            try {
                line.printer->SendData(bytes);
            } catch (const SocketError&) {
                printerFailed(index, QStringLiteral("broke the connection"));
            }
        } else {
            line.waiting += bytes;
            // Not read further until the printer is there to take it.
            tcpServer(index)->PauseReading(line.waiting.size() > Winsock::kMaxQueuedBytes);
        }
    } else if (line.printerSerial) {
        line.waiting += bytes;
        sendToSerialPrinter(index);
    }
    if (line.responder) {
        const QByteArray answer = line.responder->feed(bytes);
        if (!answer.isEmpty()) {
            writeToTill(index, answer);
        }
    }
}

void frmKavelin::sendToSerialPrinter(int index) {
    Channel::PrinterLine& line = channel(index).printerLine;
    if (!line.printerSerial || line.waiting.isEmpty()) {
        return;
    }
    // Whole or not at all: what the line cannot take yet waits, and the till is held back.
    const QByteArray chunk =
        line.waiting.first(qMin(line.waiting.size(), SerialLine::kWriteLimit / 2));
    if (line.printerSerial->write(chunk)) {
        line.bytesToPrinter += chunk.size();
        line.waiting.remove(0, chunk.size());
    }
    const bool full = line.waiting.size() > SerialLine::kWriteLimit;
    if (line.terminalSerial) {
        line.terminalSerial->setReadingPaused(full);
    } else {
        tcpServer(index)->PauseReading(full);
    }
}

void frmKavelin::writeToTill(int index, const QByteArray& bytes) {
    Channel::PrinterLine& line = channel(index).printerLine;
    if (line.terminalSerial) {
        line.terminalSerial->write(bytes);  // refused on a tap: the bridge never writes there
        return;
    }
    if (PosConnected(index) == kFalse) {
        return;
    }
    try {
        tcpServer(index)->SendData(bytes);
    } catch (const SocketError&) {
        // The terminal has gone; its close is on the way.
    }
}

void frmKavelin::serialTerminalBytes(int index, const QByteArray& bytes) {
    Channel& row = channel(index);
    if (PosConnected(index) == kFalse) {
        PosConnected(index) = kTrue;
        paintLabel(lbPCStatus(index), QStringLiteral("Connected"), look::kGreen, look::kBlack);
        row.startSession(row.printerLine.options->posSerial->port);
        openPrinterFor(index);
        emit bridgeChanged();
    }
    terminalArrival(index, bytes);
    // A DVR that stops reading holds a serial terminal back as it does one on TCP: the line is
    // left unread, so its flow control (or the device's full buffer) stops the sender, instead
    // of the DVR's queue growing without bound. With a printer behind the row, DVR copies are
    // dropped instead, and only the printer holds the till back.
    if (!row.servesWithoutDvr() && tcpClient(index)->BytesQueued() > Winsock::kMaxQueuedBytes) {
        row.printerLine.terminalSerial->setReadingPaused(true);
    }
}

bool frmKavelin::dvrTakesCopy(int index) {
    Channel& row = channel(index);
    Channel::PrinterLine& line = row.printerLine;
    const bool up = DvrConnected(index) != kFalse;
    if (!row.servesWithoutDvr()) {
        return up;
    }
    if (up && tcpClient(index)->BytesQueued() <= Winsock::kMaxQueuedBytes) {
        if (std::exchange(line.droppingCopies, false)) {
            qCWarning(lcDvr, "channel %d: DVR copies go out again, %lld were dropped", index,
                      std::exchange(line.droppedSinceLine, 0));
        }
        return true;
    }
    ++line.dvrCopiesDropped;
    ++line.droppedSinceLine;
    if (!std::exchange(line.droppingCopies, true)) {
        qCWarning(lcDvr,
                  "channel %d: DVR copies are dropped while the DVR link %s; the printer "
                  "path goes on",
                  index, up ? "does not read" : "is down");
    }
    return false;
}

void frmKavelin::dropTerminal(int index, const char* how) {
    endTerminalSession(index, how);
    PosConnected(index) = kFalse;
    tcpServer(index)->Close();
    StartListening(index);
}
