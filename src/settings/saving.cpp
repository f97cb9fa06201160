#include <QDeadlineTimer>
#include <QTimer>

#include "app/frmKavelin.h"
#include "settings/ini.h"

void frmKavelin::Export_Click() {
    const std::optional<PrinterInfo> printer = printers_ ? printers_->Printer() : std::nullopt;
    // " 0" / " 1": the file has always carried this flag with room for a sign.
    const QByteArray printerOn =
        (PrinterOn >= 0 ? QByteArray(" ") : QByteArray()) + QByteArray::number(PrinterOn);
    try {
        // With no printer to name (the saved one removed, or CUPS not up yet) the file
        // keeps the name it has: an empty one would wipe the user's choice for good.
        const QByteArray printerName =
            printer ? printer->DeviceName.toUtf8() : ReadIni(iniPath_, "Setup", "Printer");
        QList<std::array<QByteArray, 3>> writes = {
            {"Setup", "Hide", QByteArray::number(chkHide->Value())},
            {"Setup", "EnableSchedule", QByteArray::number(chkSchedule->Value())},
            {"Setup", "StartHour", QByteArray::number(startHour->value())},
            {"Setup", "EndHour", QByteArray::number(endHour->value())},
            {"Setup", "AutoRun", QByteArray::number(chkAuto->Value())},
            {"Setup", "EnablePrinter", printerOn},
            {"Setup", "Printer", printerName},
        };
        for (int n = 1; n <= kChannels; ++n) {
            const QByteArray section = "Connection " + QByteArray::number(n);
            writes.append({section, "IP", txtIP(n)->text().toUtf8()});
            writes.append({section, "DVR_PORT", txtPort(n)->text().toUtf8()});
            writes.append({section, "POS_PORT", txtPortOpen(n)->text().toUtf8()});
            writes.append({section, "ENABLE", QByteArray::number(chkEnable(n)->Value())});
        }
        for (const auto& [section, key, value] : writes) {
            WriteIni(iniPath_, section, key, value);
        }
    } catch (const IniError& e) {
        qCWarning(lcSettings, "%s; the settings were not saved", e.what());
        warn(QStringLiteral("The settings could not be saved.\r\n") +
                 QString::fromLocal8Bit(e.what()),
             QString(), MsgIcon::Exclamation);
    }
}

void frmKavelin::ExportHide_Click() {
    chkHide->setValue(1);
    hide();
    Export_Click();
}

void frmKavelin::ExportClose_Click() {
    Export_Click();
    close();
}

void frmKavelin::Form_Unload() {
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    emit unloading();
    Timer1->stop();
    for (int n = 1; n <= kChannels; ++n) {
        if (channel(n).session() && DvrConnected(n) != kFalse) {
            // The terminal gets FIN and may still finish what it was sending; that reaches
            // the DVR too, and its link ends once the terminal has ended.
            tcpServer(n)->Shutdown();
        } else {
            endTerminalSession(n, "closed as the bridge stops");
            tcpServer(n)->Close();
            // Queued bytes still go out, then FIN.
            tcpClient(n)->Close();
        }
    }
    finishUnload();
}

void frmKavelin::finishUnload() {
    // The program ends once every link has handed over what it held, or after the bound,
    // when a DVR does not read or a terminal does not stop.
    const QDeadlineTimer deadline(kUnloadBoundMs);
    auto* poll = new QTimer(this);
    poll->setInterval(10);
    connect(poll, &QTimer::timeout, this, [this, poll, deadline] {
        QStringList sending;  // terminals that have not ended after their FIN
        QStringList waiting;  // DVR links kept open for such a terminal
        for (int n = 1; n <= kChannels; ++n) {
            if (tcpServer(n)->State() != Winsock::sckClosed) {
                sending.append(QString::number(n));
            } else if (tcpClient(n)->State() != Winsock::sckClosed) {
                waiting.append(QString::number(n));
            }
        }
        const int unread = Winsock::Lingering();
        const bool busy = unread > 0 || !sending.isEmpty() || !waiting.isEmpty();
        if (busy && !deadline.hasExpired()) {
            return;
        }
        if (busy) {
            // Names what held the stop up, so a terminal that never closes is not taken for
            // a DVR that does not read.
            QStringList held;
            if (!sending.isEmpty()) {
                held.append(QStringLiteral("terminals of channel %1 still sending")
                                .arg(sending.join(QStringLiteral(", "))));
            }
            if (!waiting.isEmpty()) {
                held.append(QStringLiteral("DVR links of channel %1 still open")
                                .arg(waiting.join(QStringLiteral(", "))));
            }
            if (unread > 0) {
                held.append(QStringLiteral("%1 DVR link%2 not reading what was queued")
                                .arg(unread)
                                .arg(unread == 1 ? "" : "s"));
            }
            qCWarning(lcService, "gave up handing over after %d ms: %s", kUnloadBoundMs,
                      qUtf8Printable(held.join(QStringLiteral("; "))));
        }
        poll->deleteLater();
        emit unloaded();
    });
    poll->start();
}
