#include <QTimer>

#include "app/frmKavelin.h"
#include "dvr/address_checks.h"
#include "settings/setting_numbers.h"

namespace {

// Every line of a link names its DVR, in the text and, for the journal, as the peer.
void logLink(QtMsgType type, int index, const Winsock& link, const QString& what,
             event_log::Event kind = event_log::Event::Other) {
    const QString dvr = QStringLiteral("%1:%2").arg(link.RemoteHost()).arg(link.RemotePort());
    event_log::channelLine(type, lcDvr(), {index, dvr, kind},
                           QStringLiteral("channel %1: DVR %2 %3").arg(index).arg(dvr, what));
}

}  // namespace

void frmKavelin::cmdConnect_Click(int index) {
    if (unloaded_) {
        return;  // the error path of a piece forwarded while the bridge ends
    }
    QString warning;
    bool failed = false;
    const auto port = setting_numbers::dvrPort(txtPort(index)->text());
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
    if (!channel(index).dvr.failures.failing()) {
        logLink(QtInfoMsg, index, *tcpClient(index), QStringLiteral("connecting"));
    }
    ShowDvrStatus(index, 1);
    cmdDisconnect(index)->setText(QStringLiteral("Stop Connecting"));
    cmdDisconnect(index)->setEnabled(true);
    cmdConnect(index)->setEnabled(false);
    if (channel(index).servesWithoutDvr()) {
        // A till must print while its DVR is away.
        startSerialLines(index);
        StartListening(index);
    }
}

void frmKavelin::cmdDisconnect_Click(int index) {
    // Pressed while a reload hands the row over: it takes its new keys but stays down.
    channel(index).handover.reconnect = false;
    endTerminalSession(index, "disconnected");
    if (tcpClient(index)->State() != Winsock::sckClosed) {
        logLink(QtInfoMsg, index, *tcpClient(index),
                QStringLiteral("disconnected") + channel(index).dvr.failures.ended(steadyMs()));
    }
    PosConnected(index) = kFalse;
    tcpServer(index)->Close();
    stopSerialLines(index);
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
    channel(index).dvr.upSinceMs = steadyMs();
    if (!channel(index).dvr.slamming) {
        logDvrUp(index);
    } else {
        // A DVR that has been closing each link at once: only a link that lasts ends the
        // run, or every second would bring an "up" line and a "closed" line.
        const qint64 upSince = channel(index).dvr.upSinceMs;
        QTimer::singleShot(kStableLinkMs, this, [this, index, upSince] {
            if (channel(index).dvr.upSinceMs == upSince && channel(index).dvr.slamming &&
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
    if (steadyMs() - channel(index).dvr.upSinceMs < kStableLinkMs) {
        channel(index).dvr.slamming = true;
        logDvrFailure(index, QStringLiteral("closed the link at once"));
    } else {
        logLink(QtWarningMsg, index, *tcpClient(index),
                QStringLiteral("closed the link (remote host closed); reconnecting"));
    }
    DvrConnected(index) = kFalse;
    if (channel(index).servesWithoutDvr()) {
        // The till and its printer go on while the DVR link is rebuilt.
        paintLabel(lbStatus(index), QStringLiteral("Not Connected"), look::kRed, look::kWhite);
        tcpClient(index)->Close();
        cmdConnect_Click(index);
        return;
    }
    endTerminalSession(index, "closed with its DVR link");
    PosConnected(index) = kFalse;
    tcpServer(index)->Close();
    stopSerialLines(index);
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
    channel(index).dvr.slamming = false;
    logLink(QtInfoMsg, index, *tcpClient(index),
            QStringLiteral("link up") + channel(index).dvr.failures.ended(steadyMs()),
            event_log::Event::DvrLinkUp);
}

void frmKavelin::logDvrFailure(int index, const QString& reason) {
    ++channel(index).counters.dvrFailures;
    channel(index).counters.lastError = reason;
    FailureRun& run = channel(index).dvr.failures;
    const qint64 now = steadyMs();
    switch (run.failed(now)) {
        case FailureRun::Line::First:
            logLink(QtWarningMsg, index, *tcpClient(index),
                    QStringLiteral("link failed (%1); retrying every second").arg(reason),
                    event_log::Event::DvrLinkFailed);
            break;
        case FailureRun::Line::Summary:
            logLink(QtWarningMsg, index, *tcpClient(index),
                    QStringLiteral("still failing: %1 attempts in %2 (%3)")
                        .arg(run.failures())
                        .arg(spokenDuration(run.lastingMs(now)), reason));
            break;
        case FailureRun::Line::None:
            break;
    }
}
