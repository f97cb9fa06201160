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

void frmKavelin::cmdConnect_Click(int index) {
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
    ShowDvrStatus(index, 1);
    cmdDisconnect(index)->setText(QStringLiteral("Stop Connecting"));
    cmdDisconnect(index)->setEnabled(true);
    cmdConnect(index)->setEnabled(false);
}

void frmKavelin::cmdDisconnect_Click(int index) {
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
    ShowDvrStatus(index, 2);
    cmdDisconnect(index)->setText(QStringLiteral("Disconnect"));
    DvrConnected(index) = kTrue;
    StartListening(index);
}

void frmKavelin::tcpClient_Close(int index) {
    if (tcpClient(index)->State() != Winsock::sckClosing) {
        return;
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
    tcpClient(index)->Close();
    cmdConnect_Click(index);
}

void frmKavelin::tcpClient_Error(int index, int /*number*/, const QString& /*description*/) {
    tcpClient(index)->Close();
    cmdConnect_Click(index);
}
