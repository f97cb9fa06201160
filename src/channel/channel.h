#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

#include "pos/allow_list.h"
#include "printer_line/printer_keys.h"
#include "service/event_log.h"
#include "settings/settings_reader.h"
#include "shaping/shaping_options.h"

class Shaper;
class SerialLine;
class StatusResponder;
class Winsock;

// One row of the bridge beyond the window's own controls and flags: everything the row
// holds about its terminal session, who may connect, its DVR link's failures, its shaping
// and its counters, grouped by concern. The window's handlers keep their names and hand
// this work to the row's object; a new per-channel feature adds a member here.
class Channel : public QObject {
    Q_OBJECT
public:
    Channel(int index, QObject* parent);
    ~Channel() override;

    int index() const { return index_; }

    // ---- the terminal's session, for the event log: what it carried, never its text
    struct TerminalSession {
        QString peer;
        qint64 pieces = 0;
        qint64 bytes = 0;
        qint64 startMs = 0;  // steady clock
    };
    const std::optional<TerminalSession>& session() const { return session_; }
    void startSession(const QString& peer);
    void countArrival(qsizetype bytes);
    // Logs how long the session lasted and what it carried; nothing when there is none.
    void endSession(const char* how);

    // ---- who may take the row, from its ALLOW key; read at start-up and reload, never saved
    const std::optional<AllowList>& allowList() const { return access_.allow; }
    // A change is logged when the row next listens.
    void applyAllowList(const std::optional<AllowList>& list, bool listening);
    // Logs who may take the row, once per change of its list.
    void announceAllowList();
    // Whether the peer may take the row; a refusal is logged at most once a minute per peer.
    bool admits(const QHostAddress& peer);
    // The box for a listen failure comes once per row and cause until the row listens.
    bool firstListenFailure(const QString& cause);
    void listening() { access_.listenFailureShown.clear(); }

    // ---- the DVR link's runs of failures, so a DVR that refuses for an hour gives a few
    // lines, not 3,600
    struct DvrLink {
        FailureRun failures;
        qint64 upSinceMs = 0;  // steady clock
        // Closing each link at once: only a link that lasts ends the run.
        bool slamming = false;
    };
    DvrLink dvr;

    // ---- shaping: the options the row's keys give, and the shaper that applies them
    struct Shaping {
        std::optional<ShapingOptions> options = ShapingOptions();
        std::unique_ptr<Shaper> shaper;
        QTimer* idle = nullptr;  // sends a partial line that waited long enough
    };
    Shaping shaping;

    // ---- counters since the program started, for poskavelinctl and the metrics
    struct Counters {
        qint64 pieces = 0;
        qint64 bytes = 0;
        qint64 dvrFailures = 0;
        qint64 printFailures = 0;
        qint64 lastPieceMs = -1;  // steady clock
        QString lastError;
    };
    Counters counters;

    // ---- the till's printer line: the real printer behind the row, status answers in its
    // place, and the serial lines of a terminal or printer that are not on TCP
    struct PrinterLine {
        std::optional<PrinterLineOptions> options = PrinterLineOptions();
        std::unique_ptr<StatusResponder> responder;
        // A printer on TCP: one connection per terminal session, as raw ports expect.
        Winsock* printer = nullptr;
        QTimer* reachBound = nullptr;
        // A printer on a serial line, open while the row is connected.
        SerialLine* printerSerial = nullptr;
        // The terminal, when it is a serial line instead of POS_PORT.
        SerialLine* terminalSerial = nullptr;
        // The till's bytes that the printer has not been able to take yet.
        QByteArray waiting;
        // The till left before its printer was reached: what it sent still goes out.
        bool closeOnceSent = false;
        qint64 bytesToPrinter = 0;
        qint64 bytesFromPrinter = 0;
        // DVR copies that could not go out while the printer path went on.
        qint64 dvrCopiesDropped = 0;
        qint64 droppedSinceLine = 0;
        bool droppingCopies = false;
    };
    PrinterLine printerLine;
    // With a real printer behind it the row serves its till whether or not its DVR is up.
    bool servesWithoutDvr() const {
        return printerLine.options &&
               printerLine.options->printer != PrinterLineOptions::Printer::kNone;
    }
    bool terminalOnSerial() const { return printerLine.options && printerLine.options->posSerial; }

    // ---- a reload that changed the row: its new keys wait until the old session has been
    // handed over, then the row comes back on them
    struct Handover {
        std::optional<RowSettings> next;
        bool reconnect = false;
        QTimer* bound = nullptr;
    };
    Handover handover;
    bool handingOver() const { return handover.next.has_value(); }

    // The ALLOW list, the shaping and the printer line keys all read, so the row may listen.
    bool keysRead() const { return access_.allow && shaping.options && printerLine.options; }

private:
    const int index_;
    std::optional<TerminalSession> session_;

    struct Refusals {
        QHostAddress peer;
        int unlogged = 0;
        qint64 lastLineMs = 0;
    };
    struct Access {
        std::optional<AllowList> allow = AllowList();
        // False from the start, so the list a window begins with is logged too.
        bool announced = false;
        Refusals refusals;
        // The last listen failure a box was shown for; empty once the row listens.
        QString listenFailureShown;
    };
    Access access_;
};
