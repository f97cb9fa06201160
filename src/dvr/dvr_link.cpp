#include <QTimer>

#include "app/frmKavelin.h"
#include "dvr/address_checks.h"

namespace {

// The port as the socket takes it; a digit run beyond the TCP range is refused here
// with the same warning as a non-digit port rather than handed on to fail later.
std::optional<int> dvrPort(const QString& text) {
    if (!IsDigitsOnly(text)) {
        return std::nullopt;
    }
    qsizetype first = 0;
    while (first < text.size() - 1 && text[first] == QLatin1Char('0')) {
        ++first;
    }
    const QString digits = text.mid(first);
    if (digits.size() > 5) {
        return std::nullopt;
    }
    const int value = digits.toInt();
    return value <= 65535 ? std::optional<int>(value) : std::nullopt;
}

}  // namespace

QString frmKavelin::dvrName(int index) const {
    return QStringLiteral("channel %1: DVR %2:%3")
        .arg(index)
        .arg(tcpClient(index)->RemoteHost())
        .arg(tcpClient(index)->RemotePort());
}

void frmKavelin::cmdConnect_Click(int index) {
    if (unloaded_) {
        return;  // the error path of a piece forwarded while the bridge ends
    }
    QString warning;
    bool failed = false;
    const auto port = dvrPort(txtPort(index)->text());
    if (!port) {
        warning += QStringLiteral("POS %1: Invalid Port of DVR.\r\n").arg(index);
        failed = true;
    }
    if (!IsValidIP(txtIP(index)->text())) {
        warning += QStringLiteral("POS %1: Invalid IP of DVR.\r\n").arg(index);
        failed = true;
    }
    if (failed) {
        qCWarning(
            lcDvr, "channel %d: DVR address \"%s\" or port \"%s\" is not valid; not connecting",
            index, qUtf8Printable(txtIP(index)->text()), qUtf8Printable(txtPort(index)->text()));
        warn(warning, QString(), MsgIcon::Exclamation);
        return;
    }

    txtIP(index)->setEnabled(false);
    txtPort(index)->setEnabled(false);
    txtPortOpen(index)->setEnabled(false);
    chkEnable(index)->setEnabled(false);
    tcpClient(index)->RemoteHost(txtIP(index)->text());
    tcpClient(index)->RemotePort(*port);
    tcpClient(index)->Connect();
    // A DVR that keeps failing is retried every second; its attempts are summarised instead.
    if (!dvrFailures_(index).failing()) {
        qCInfo(lcDvr, "%s connecting", qUtf8Printable(dvrName(index)));
    }
    ShowDvrStatus(index, 1);
    cmdDisconnect(index)->setText(QStringLiteral("Stop Connecting"));
    cmdDisconnect(index)->setEnabled(true);
    cmdConnect(index)->setEnabled(false);
}

void frmKavelin::cmdDisconnect_Click(int index) {
    endTerminalSession(index, "disconnected");
    if (tcpClient(index)->State() != Winsock::sckClosed) {
        qCInfo(lcDvr, "%s disconnected%s", qUtf8Printable(dvrName(index)),
               qUtf8Printable(dvrFailures_(index).ended(steadyMs())));
    }
    PosConnected(index) = kFalse;
    tcpServer(index)->Close();
    DvrConnected(index) = kFalse;
    ShowDvrStatus(index, 0);
    cmdConnect(index)->setEnabled(true);
    cmdDisconnect(index)->setText(QStringLiteral("Disconnect"));
    cmdDisconnect(index)->setEnabled(false);
    txtPort(index)->setEnabled(true);
    txtIP(index)->setEnabled(true);
    txtPortOpen(index)->setEnabled(true);
    chkEnable(index)->setEnabled(true);
    tcpClient(index)->Close();
}

void frmKavelin::tcpClient_Connect(int index) {
    dvrUpSinceMs_(index) = steadyMs();
    if (!dvrSlamming_(index)) {
        logDvrUp(index);
    } else {
        // A DVR that has been closing each link at once: only a link that lasts ends the
        // run, or every second would bring an "up" line and a "closed" line.
        const qint64 upSince = dvrUpSinceMs_(index);
        QTimer::singleShot(kStableLinkMs, this, [this, index, upSince] {
            if (dvrUpSinceMs_(index) == upSince && dvrSlamming_(index) &&
                tcpClient(index)->State() == Winsock::sckConnected) {
                logDvrUp(index);
            }
        });
    }
    ShowDvrStatus(index, 2);
    cmdDisconnect(index)->setText(QStringLiteral("Disconnect"));
    DvrConnected(index) = kTrue;
    StartListening(index);
}

void frmKavelin::tcpClient_Close(int index) {
    if (tcpClient(index)->State() != Winsock::sckClosing) {
        return;
    }
    if (steadyMs() - dvrUpSinceMs_(index) < kStableLinkMs) {
        dvrSlamming_(index) = true;
        logDvrFailure(index, QStringLiteral("closed the link at once"));
    } else {
        qCWarning(lcDvr, "%s closed the link (remote host closed); reconnecting",
                  qUtf8Printable(dvrName(index)));
    }
    endTerminalSession(index, "closed with its DVR link");
    PosConnected(index) = kFalse;
    tcpServer(index)->Close();
    DvrConnected(index) = kFalse;
    ShowDvrStatus(index, 0);
    cmdConnect(index)->setEnabled(true);
    cmdDisconnect(index)->setText(QStringLiteral("Disconnect"));
    cmdDisconnect(index)->setEnabled(false);
    txtPort(index)->setEnabled(true);
    txtIP(index)->setEnabled(true);
    tcpClient(index)->Close();
    cmdConnect_Click(index);
}

void frmKavelin::tcpClient_Error(int index, int /*number*/, const QString& description) {
    logDvrFailure(index, description);
    tcpClient(index)->Close();
    cmdConnect_Click(index);
}

void frmKavelin::logDvrUp(int index) {
    dvrSlamming_(index) = false;
    qCInfo(lcDvr, "%s link up%s", qUtf8Printable(dvrName(index)),
           qUtf8Printable(dvrFailures_(index).ended(steadyMs())));
}

void frmKavelin::logDvrFailure(int index, const QString& reason) {
    ++counters_(index).dvrFailures;
    counters_(index).lastError = reason;
    FailureRun& run = dvrFailures_(index);
    const qint64 now = steadyMs();
    switch (run.failed(now)) {
        case FailureRun::Line::First:
            qCWarning(lcDvr, "%s link failed (%s); retrying every second",
                      qUtf8Printable(dvrName(index)), qUtf8Printable(reason));
            break;
        case FailureRun::Line::Summary:
            qCWarning(lcDvr, "%s still failing: %d attempts in %s (%s)",
                      qUtf8Printable(dvrName(index)), run.failures(),
                      qUtf8Printable(spokenDuration(run.lastingMs(now))), qUtf8Printable(reason));
            break;
        case FailureRun::Line::None:
            break;
    }
}
