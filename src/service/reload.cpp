#include <QStringList>

#include "app/frmKavelin.h"
#include "settings/ini.h"
#include "settings/settings_reader.h"

namespace {

QString rowList(const QList<int>& rows) {
    QStringList numbers;
    for (const int n : rows) {
        numbers.append(QString::number(n));
    }
    return numbers.join(QStringLiteral(", "));
}

}  // namespace

QString frmKavelin::Reload(bool* ok) {
    *ok = false;
    const auto refuse = [](const QString& why) {
        const QString line = QStringLiteral("reload refused, nothing changed: %1").arg(why);
        qCWarning(lcSettings, "%s", qUtf8Printable(line));
        return line;
    };
    if (unloaded_) {
        return QStringLiteral("the bridge is stopping; nothing reloaded");
    }
    // A handler's box runs an event loop of its own: a reload inside it would change rows
    // under the handler that is waiting for OK.
    if (reloading_ || boxesOpen_ > 0) {
        return refuse(reloading_ ? QStringLiteral("a reload is already running")
                                 : QStringLiteral("the window is showing a message; reload "
                                                  "again once it has been closed"));
    }
    if (const QList<int> busy = rowsHandingOver(); !busy.isEmpty()) {
        return refuse(QStringLiteral("rows %1 are still handing over what the last reload "
                                     "changed; reload again in a moment")
                          .arg(rowList(busy)));
    }
    Settings settings;
    if (const std::optional<SettingsProblem> problem = checkSettingsFile(iniPath_, &settings)) {
        return refuse(problem->text());
    }

    reloading_ = true;
    ++unattended_;
    unattendedWarnings_.clear();
    for (const QString& warning : std::as_const(settings.warnings)) {
        qCWarning(lcPos, "%s", qUtf8Printable(warning));
    }
    const int scheduleWas = chkSchedule->Value();
    applySetupKeys(settings.setup);
    if (chkSchedule->Value() != scheduleWas) {
        chkSchedule_Click();
    }
    QList<int> changed;
    for (int n = 1; n <= kChannels; ++n) {
        const Channel& row = channel(n);
        const int box = chkEnable(n)->Value();
        const RowSettings running{
            txtIP(n)->text(), txtPort(n)->text(),  txtPortOpen(n)->text(), box,
            row.allowList(),  row.shaping.options, row.printerLine.options};
        const RowSettings& next = settings.row(n);
        if (next.appliedOver(box) == running) {
            continue;
        }
        changed.append(n);
        // As a user would: Disconnect, change the row, Connect; but the terminal may finish.
        const bool wasGoing = cmdDisconnect(n)->isEnabled();
        handOverRow(n, next, wasGoing || chkAuto->Value() == 1);
    }
    applyPrinterKeys(settings.setup);
    --unattended_;
    reloading_ = false;

    QString line = changed.isEmpty()
                       ? QStringLiteral("reloaded, no row changed")
                       : QStringLiteral("reloaded, rows changed: %1").arg(rowList(changed));
    qCInfo(lcSettings, "%s", qUtf8Printable(line));
    for (const QString& warning : settings.warnings + std::exchange(unattendedWarnings_, {})) {
        line += QStringLiteral("\nwarning: ") + warning;
    }
    emit bridgeChanged();
    *ok = true;
    return line;
}

void frmKavelin::handOverRow(int index, const RowSettings& next, bool reconnect) {
    Channel& row = channel(index);
    row.handover.next = next;
    row.handover.reconnect = reconnect;
    // Nothing to wait for: no terminal; a DVR that is down and no printer to take what the
    // terminal still sends; or a serial terminal, whose line has no end to send.
    const bool nowhereToGo = DvrConnected(index) == kFalse && !row.servesWithoutDvr();
    if (!row.session() || nowhereToGo || row.terminalOnSerial()) {
        finishHandover(index);
        return;
    }
    // The terminal gets FIN and may still finish what it was sending; that reaches the DVR
    // on the old settings, and the row changes once the terminal has ended.
    if (!row.handover.bound) {
        row.handover.bound = new QTimer(&row);
        row.handover.bound->setSingleShot(true);
        row.handover.bound->setInterval(kUnloadBoundMs);
        connect(row.handover.bound, &QTimer::timeout, this, [this, index] {
            qCWarning(lcPos,
                      "channel %d: terminal still sending after %d ms; the row changes "
                      "now",
                      index, kUnloadBoundMs);
            finishHandover(index);
        });
    }
    row.handover.bound->start();
    tcpServer(index)->Shutdown();
}

void frmKavelin::finishHandover(int index) {
    Channel& row = channel(index);
    if (!row.handover.next || unloaded_) {
        return;
    }
    if (row.handover.bound) {
        row.handover.bound->stop();
    }
    const RowSettings next = *std::exchange(row.handover.next, std::nullopt);
    const bool reconnect = row.handover.reconnect;
    ++unattended_;
    if (cmdDisconnect(index)->isEnabled()) {
        // What is still queued for the DVR goes out in the background, then FIN.
        cmdDisconnect_Click(index);
    }
    applyRowKeys(index, next);
    if (reconnect && cmdConnect(index)->isEnabled()) {
        cmdConnect_Click(index);
    }
    --unattended_;
    emit bridgeChanged();
}

QList<int> frmKavelin::rowsHandingOver() const {
    QList<int> rows;
    for (int n = 1; n <= kChannels; ++n) {
        if (channel(n).handingOver()) {
            rows.append(n);
        }
    }
    return rows;
}
