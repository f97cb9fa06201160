#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTime>
#include <atomic>
#include <functional>
#include <memory>

#include "app/frmKavelin.h"

// Records what the window would have printed; the real CUPS path has tests of its own.
// Jobs run on the print spooler's thread, hence the lock and the atomic switch.
class FakePrinters : public PrinterServices {
public:
    QList<PrinterInfo> installed;
    std::optional<PrinterInfo> current;
    std::atomic<bool> failing = false;

    QList<PrinterInfo> Printers() override { return installed; }
    std::optional<PrinterInfo> Printer() override { return current; }
    void SetPrinter(const PrinterInfo& printer) override { current = printer; }
    void PrintLine(const QByteArray& text) override { document_ += text; }
    PrintJob takeDocument() override;
    QList<QByteArray> jobs() const;

private:
    QByteArray document_;
    mutable QMutex mutex_;
    QList<QByteArray> jobs_;
};

struct Box {
    QString text;
    QString title;
    MsgIcon icon;
};

// One window on a settings file in a fresh folder, with every message box recorded
// and a clock the test sets. It prints on `printers` unless given other services.
class Harness {
public:
    explicit Harness(const QByteArray& iniContent = QByteArray(), bool writeIni = false,
                     PrinterServices* services = nullptr);
    ~Harness();

    frmKavelin& w() { return *window_; }
    QString iniPath() const;
    QByteArray iniBytes() const;
    void load() { window_->Form_Load(); }
    // Fills row i as a user would and switches it on.
    void setRow(int i, const QString& ip, int dvrPort, int posPort, bool enabled = true);
    // Connects row i to a DVR on 127.0.0.1 and a terminal to the row; null when that did
    // not happen in time.
    std::unique_ptr<QTcpSocket> openRow(int i, quint16 dvrPort);

    QTemporaryDir dir;
    QList<Box> boxes;
    // Runs while a box is "open", as a user would take a while to press OK.
    std::function<void()> whileBoxOpen;
    QTime now{12, 0};
    FakePrinters printers;

private:
    std::unique_ptr<frmKavelin> window_;
};

// A DVR on 127.0.0.1 that accepts every link and keeps what each one sent.
class FakeDvr : public QObject {
    Q_OBJECT
public:
    explicit FakeDvr(quint16 port = 0);
    bool listen(quint16 port = 0);
    void stop();  // stops listening and drops every link
    void dropLinks();
    quint16 port() const { return port_; }
    int connectionCount() const { return int(links_.size()); }
    int liveLinks() const;
    QByteArray received() const;  // everything from every link, in arrival order
    QByteArray receivedOn(int link) const {
        return link < perLink_.size() ? perLink_[link] : QByteArray();
    }
    QTcpServer server;
    QList<QTcpSocket*> links_;
    QList<QByteArray> perLink_;

private:
    quint16 port_ = 0;
    QByteArray received_;
};

// A port on 127.0.0.1 that was free a moment ago.
quint16 freePort();

// A terminal connected to 127.0.0.1:port; null when nothing accepted within the bound.
std::unique_ptr<QTcpSocket> connectTerminal(quint16 port, int timeoutMs = 3000);

// CPU time this process has used so far, user and system, in milliseconds: a loop that
// should sleep is caught spinning by how much of it a wait used.
double cpuMs();

// Runs a command-line tool to its end (bounded) and returns what it wrote to stdout.
QString runProgram(const QString& program, const QStringList& args);

QColor background(const QLabel* label);
QColor textColour(const QLabel* label);
