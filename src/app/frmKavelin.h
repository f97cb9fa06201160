#pragma once

#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QString>
#include <QTime>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>

#include "app/control_array.h"
#include "platform/printer_services.h"
#include "platform/winsock.h"
#include "pos/allow_list.h"
#include "service/bridge_snapshot.h"
#include "service/event_log.h"
#include "shaping/shaping_options.h"

class PrintSpooler;
class Shaper;

enum class MsgIcon { None, Exclamation };
// Shows one modal message. An empty title means the application's own title.
using MessageBoxFn = std::function<void(const QString& text, const QString& title, MsgIcon icon)>;
// Present local time; only hour and minute are used.
using ClockFn = std::function<QTime()>;

constexpr int kChannels = 16;
template <typename T>
using ChannelArray = ControlArray<T, 1, kChannels>;

// A check box that holds 0 (off), 1 (on) and 2 (greyed). A user's click only toggles
// between on and off; the greyed state comes from the settings file alone.
class KavelinCheckBox : public QCheckBox {
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;
    int Value() const;
    void setValue(int value);

protected:
    void nextCheckState() override;
};

// The bridge's one window: 16 channel rows, each relaying a POS terminal to its DVR,
// and the printer, option, schedule and save controls. Handlers are defined in the
// folder of their subsystem.
class frmKavelin : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTrue = -1;
    static constexpr int kFalse = 0;
    static inline const QString kAppTitle = QStringLiteral("PosKavelin");
    static inline const QString kNoPrinter = QStringLiteral("No Printer");
    // How long closing waits for DVRs to take what is still queued.
    static constexpr int kUnloadBoundMs = 3000;

    frmKavelin(const QString& iniPath, MessageBoxFn messageBox, ClockFn clock,
               PrinterServices* printers, QWidget* parent = nullptr);
    ~frmKavelin() override;

    // ---- app: start-up and the enable switch
    void Form_Load();
    void chkEnable_Click(int index);

    // ---- settings: saving, hiding, closing
    void Export_Click();
    void ExportHide_Click();
    void ExportClose_Click();
    void Form_Unload();

    // ---- dvr: link, status, connect all
    void cmdConnect_Click(int index);
    void cmdDisconnect_Click(int index);
    void tcpClient_Connect(int index);
    void tcpClient_Close(int index);
    void tcpClient_Error(int index, int number, const QString& description);
    void ShowDvrStatus(int index, int code);
    void cmdConnectAll_Click();
    void cmdDisconnectAll_Click();

    // ---- pos: listener and forwarding
    void StartListening(int index);
    void tcpServer_ConnectionRequest(int index, qint32 requestId);
    void tcpServer_Close(int index);
    void tcpServer_DataArrival(int index, qint32 bytesTotal);
    void ForwardToDvr(int index, const QByteArray& text);
    // The error path of forwarding: rebuilds the channel's DVR link.
    void forwardingFailed(int index);

    // ---- printer
    void cboPrinters_Click();
    void cmdOK_Click();
    // Queues the piece for printing; throws PrintError when it cannot even be queued.
    void PrintText(int index, const QByteArray& text);
    // A queued piece of the channel failed to print; runs from the event loop.
    void printFailed(int index, const QString& reason);

    // ---- schedule
    void chkSchedule_Click();
    void startHour_Change();
    void endHour_Change();
    void Timer1_Timer();
    void CheckSchedule();

    // ---- controls, by the names the whole program uses
    ChannelArray<KavelinCheckBox*> chkEnable;
    ChannelArray<QLineEdit*> txtPortOpen;
    ChannelArray<QLabel*> lbPCStatus;
    ChannelArray<QLabel*> lbStatus;
    ChannelArray<QLineEdit*> txtIP;
    ChannelArray<QLineEdit*> txtPort;
    ChannelArray<QPushButton*> cmdConnect;
    ChannelArray<QPushButton*> cmdDisconnect;
    ChannelArray<Winsock*> tcpServer;
    ChannelArray<Winsock*> tcpClient;

    QGroupBox* Frame2 = nullptr;
    KavelinCheckBox* chkHide = nullptr;
    KavelinCheckBox* chkAuto = nullptr;
    QGroupBox* Frame1 = nullptr;
    KavelinCheckBox* chkSchedule = nullptr;
    QLabel* Label4 = nullptr;
    QScrollBar* startHour = nullptr;
    QLabel* txtStartHour = nullptr;
    QLabel* Label5 = nullptr;
    QScrollBar* endHour = nullptr;
    QLabel* txtEndHour = nullptr;
    QTimer* Timer1 = nullptr;
    QGroupBox* fraPrinter = nullptr;
    QLabel* lblName = nullptr;
    QComboBox* cboPrinters = nullptr;
    QPushButton* cmdOK = nullptr;
    QLabel* lblPort = nullptr;
    QLabel* Label1 = nullptr;
    ControlArray<QLabel*, 0, 6> Label2;
    QPushButton* cmdConnectAll = nullptr;
    QPushButton* cmdDisconnectAll = nullptr;
    QPushButton* Export = nullptr;
    QPushButton* ExportHide = nullptr;
    QPushButton* ExportClose = nullptr;

    // ---- window-level fields
    ChannelArray<int> PosConnected;
    ChannelArray<int> DvrConnected;
    qint16 PrinterOn = 0;

    // One line for a hidden bridge's observers: DVR links up, terminals connected, printer.
    QString StatusLine() const;
    // Every channel set going, with its counters, for poskavelinctl and the metrics.
    BridgeSnapshot Snapshot() const;

    // Reads the settings file again and applies what changed, row by row: a row whose keys
    // are as before keeps its listener, terminal and DVR link untouched; a changed one is
    // disconnected and, if it was going (or AutoRun is on), connected on its new settings.
    // Nothing changes when the file cannot be read or any row is bad. Returns one line for
    // the caller; *ok says whether the file was taken.
    QString Reload(bool* ok);

    // A key of the settings file; nullopt when it cannot be read.
    using IniRead =
        std::function<std::optional<QByteArray>(const QByteArray& section, const QByteArray& key)>;

    // Paints a status label: caption, background, text colour, in that order.
    static void paintLabel(QLabel* label, const QString& caption, const QColor& background,
                           const QColor& text);

signals:
    // A channel's DVR link or terminal, or the printer choice, changed.
    void bridgeChanged();
    // Form_Unload has begun: the bridge is handing over what it holds and then ends.
    void unloading();
    // Everything is handed over (or the bound ran out); the event loop is told to end.
    void unloaded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildWindow();
    void buildChannelRow(int index);
    void wireChannel(int index);
    void warn(const QString& text, const QString& title, MsgIcon icon);
    void showBox(const QString& text, const QString& title, MsgIcon icon);
    void fillPrinterList(const QByteArray& savedPrinter);
    // What start-up and a reload take from the file, in this order.
    void applySetupKeys(const IniRead& read);
    void applyRowKeys(int n, const IniRead& read);
    void applyPrinterKeys(const IniRead& read);
    void endTerminalSession(int index, const char* how);
    void finishUnload();

    QString iniPath_;
    MessageBoxFn messageBox_;
    ClockFn clock_;
    PrinterServices* printers_;
    PrintSpooler* spooler_ = nullptr;
    // Start-up sets the schedule box before the hours and rows are loaded; the check
    // that click would run is left to start-up's own explicit call.
    bool scheduleArmed_ = false;
    bool unloaded_ = false;
    // A box shown inside start-up would run a nested event loop, and a terminal's text
    // could be forwarded before the printer settings are loaded; start-up's boxes wait
    // until it has returned.
    bool loading_ = false;
    QList<std::tuple<QString, QString, MsgIcon>> boxesAfterLoad_;
    // While a handler's box is open a schedule tick must not run inside it; it runs once
    // the box is closed.
    int boxesOpen_ = 0;
    bool scheduleTickDue_ = false;

    // For the event log only: what each terminal session carried, and each DVR link's run
    // of failed attempts, so a DVR that refuses for an hour gives a few lines, not 3,600.
    struct TerminalSession {
        QString peer;
        qint64 pieces = 0;
        qint64 bytes = 0;
        qint64 startMs = 0;  // steady clock
    };
    ChannelArray<std::optional<TerminalSession>> sessions_;
    // Since the program started, for Snapshot().
    struct ChannelCounters {
        qint64 pieces = 0;
        qint64 bytes = 0;
        qint64 dvrFailures = 0;
        qint64 printFailures = 0;
        qint64 lastPieceMs = -1;  // steady clock
        QString lastError;
    };
    ChannelArray<ChannelCounters> counters_;
    qint64 startTimeUnixMs_ = 0;
    ChannelArray<FailureRun> dvrFailures_;
    // A link the DVR closes within this is a failed attempt, not a link that was up.
    static constexpr int kStableLinkMs = 5000;
    ChannelArray<qint64> dvrUpSinceMs_;
    ChannelArray<bool> dvrSlamming_;
    void logDvrUp(int index);
    void logDvrFailure(int index, const QString& reason);
    // Who may take each channel, from the file's "ALLOW" keys; nullopt for a row whose list
    // does not parse, which then never listens. Read at start-up, never saved.
    ChannelArray<std::optional<AllowList>> allowed_;
    // Parses a row's list into allowed_; a change is logged when the row next listens.
    void applyAllowList(int index, const QByteArray& text);
    // Logs who may take the row, once per change of its list.
    void announceAllowList(int index);
    // False from the start, so the list a window begins with is logged too.
    ChannelArray<bool> allowAnnounced_;
    // How each row shapes its terminal's text on the way to the DVR, from the file's LINES,
    // LINE_IDLE_MS, LINE_MAX, FILTER, CODEPAGE, DVR_CODEPAGE and MASK keys: no options for a
    // row whose keys do not read, which then never listens, and no shaper for a row that
    // forwards each arrival as it came. Read at start-up, never saved.
    struct ChannelShaping {
        std::optional<ShapingOptions> options = ShapingOptions();
        std::unique_ptr<Shaper> shaper;
        QTimer* idle = nullptr;  // sends a partial line that waited long enough
    };
    ChannelArray<ChannelShaping> shaping_;
    void applyShaping(int index, const ShapingOptions::Lookup& value);
    void shapeArrival(int index, const QByteArray& text);
    // The terminal's connection ended: what the shaper holds goes out while the DVR link
    // can still take it, and the next connection starts afresh.
    void endShaping(int index);
    void forwardPieces(int index, const QList<QByteArray>& pieces);
    // Sends the pieces, each with CR LF, and prints each; false when the link or the print
    // queue refused them.
    bool sendPieces(int index, const QList<QByteArray>& pieces);
    // Both the ALLOW list and the shaping keys read, so the row may listen.
    bool rowKeysRead(int index) const { return allowed_(index) && shaping_(index).options; }
    // Refused peers are logged at most once a minute per row while the same one keeps trying.
    struct Refusals {
        QHostAddress peer;
        int unlogged = 0;
        qint64 lastLineMs = 0;
    };
    ChannelArray<Refusals> refusals_;
    // The last listen failure a box was shown for, per row; empty once the row listens.
    ChannelArray<QString> listenFailureShown_;
    static QString listenFailureCause(const Winsock& socket);
    void reportListenFailure(int index, const QString& portText, const QString& cause);
    void logRefusal(int index, const QHostAddress& peer);

    // The name of the printer output goes to, for the status line; empty when none.
    QString printerName_;
};

// Colours of the status looks.
namespace look {
inline const QColor kRed{255, 0, 0};
inline const QColor kYellow{255, 255, 0};
inline const QColor kGreen{0, 255, 0};
inline const QColor kWhite{255, 255, 255};
inline const QColor kBlack{0, 0, 0};
inline const QColor kHeading{255, 255, 192};
}  // namespace look
