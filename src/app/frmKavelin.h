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
#include "channel/channel.h"
#include "platform/printer_services.h"
#include "platform/winsock.h"
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
    // handed over as the stop does and then, if it was going (or AutoRun is on), connected
    // on its new settings. Nothing changes when the file cannot be read or any row is bad,
    // nor while an earlier reload is still handing rows over. Opens no box: what the file
    // or a handler had to say is in the returned text and the log. *ok says whether the
    // file was taken.
    QString Reload(bool* ok);

    // The row's own object: its session, access, DVR failures, shaping and counters.
    Channel& channel(int index) const { return *channels_(index); }

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
    void applySetupKeys(const SetupSettings& setup);
    void applyRowKeys(int n, const RowSettings& row);
    void applyPrinterKeys(const SetupSettings& setup);
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

    // A link the DVR closes within this is a failed attempt, not a link that was up.
    static constexpr int kStableLinkMs = 5000;
    qint64 startTimeUnixMs_ = 0;
    void logDvrUp(int index);
    void logDvrFailure(int index, const QString& reason);
    void applyShaping(int index, const std::optional<ShapingOptions>& options);
    void shapeArrival(int index, const QByteArray& text);
    // The terminal's connection ended: what the shaper holds goes out while the DVR link
    // can still take it, and the next connection starts afresh.
    void endShaping(int index);
    void forwardPieces(int index, const QList<QByteArray>& pieces);
    // Sends the pieces, each with CR LF, and prints each; false when the link or the print
    // queue refused them.
    bool sendPieces(int index, const QList<QByteArray>& pieces);
    static QString listenFailureCause(const Winsock& socket);
    void reportListenFailure(int index, const QString& portText, const QString& cause);

    // ---- printer line: the till's own printer behind the row, or status answers in its place
    void applyPrinterLine(int index, const std::optional<PrinterLineOptions>& options);
    // What the terminal sent, before any shaping: to the printer as it came, and answered
    // when the row stands in for a printer.
    void tillBytes(int index, const QByteArray& bytes);
    void writeToTill(int index, const QByteArray& bytes);
    void openPrinterFor(int index);
    void closePrinterFor(int index);
    void printerReached(int index);
    void printerFailed(int index, const QString& why);
    void sendToSerialPrinter(int index);
    void startSerialLines(int index);
    void stopSerialLines(int index);
    void serialTerminalBytes(int index, const QByteArray& bytes);
    // Whether the DVR takes a copy of what just arrived; with a printer behind the row a
    // copy that cannot go out is dropped and counted rather than slowing the till.
    bool dvrTakesCopy(int index);
    // Everything an arrival from the terminal goes through, on TCP or a serial line.
    void terminalArrival(int index, const QByteArray& text);
    // The terminal's connection is given up (its printer is gone): it may connect again.
    void dropTerminal(int index, const char* how);

    // A reload that changed a row closes it as the stop does: the terminal gets FIN and
    // may finish, its text reaches the DVR, and only then does the row take its new keys.
    void handOverRow(int index, const RowSettings& next, bool reconnect);
    void finishHandover(int index);
    QList<int> rowsHandingOver() const;
    bool reloading_ = false;
    // Paths with nobody at the window (reload, the control socket, signals) open no box:
    // what a handler would have shown is collected here for the reply and the log.
    int unattended_ = 0;
    QStringList unattendedWarnings_;

    // The name of the printer output goes to, for the status line; empty when none.
    QString printerName_;
    // One object per row for what the row holds beyond its controls and flags.
    ChannelArray<Channel*> channels_;
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
