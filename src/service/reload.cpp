#include <QStringList>

#include "app/frmKavelin.h"
#include "pos/allow_list.h"
#include "settings/ini.h"
#include "settings/settings_check.h"

namespace {

// A row's keys as the file holds them, to compare with what the row runs on.
struct RowKeys {
    QString ip;
    QString dvrPort;
    QString posPort;
    int enable = 0;
    std::optional<AllowList> allow;
    std::optional<ShapingOptions> shaping;
};

RowKeys rowKeysOf(const QString& path, int n) {
    const QByteArray section = "Connection " + QByteArray::number(n);
    const auto read = [&](const char* key) { return ReadIni(path, section, key); };
    RowKeys keys;
    keys.ip = QString::fromUtf8(read("IP"));
    keys.dvrPort = QString::fromUtf8(read("DVR_PORT"));
    keys.posPort = QString::fromUtf8(read("POS_PORT"));
    // Checked already: blank or 0 to 2.
    keys.enable = read("ENABLE").trimmed().toInt();
    keys.allow = AllowList::parse(read("ALLOW"), nullptr);
    keys.shaping = ShapingOptions::parse(
        [&](const char* key) -> std::optional<QByteArray> { return read(key); }, nullptr, nullptr);
    return keys;
}

}  // namespace

QString frmKavelin::Reload(bool* ok) {
    *ok = false;
    if (unloaded_) {
        return QStringLiteral("the bridge is stopping; nothing reloaded");
    }
    const SettingsCopy copy(iniPath_);
    if (const std::optional<SettingsProblem> problem = checkSettings(copy)) {
        const QString line =
            QStringLiteral("reload refused, nothing changed: %1").arg(problem->text());
        qCWarning(lcSettings, "%s", qUtf8Printable(line));
        return line;
    }

    QList<int> changed;
    try {
        const QString path = copy.path();
        const IniRead read = [&](const QByteArray& section, const QByteArray& key) {
            return std::optional(ReadIni(path, section, key));
        };
        const int scheduleWas = chkSchedule->Value();
        applySetupKeys(read);
        if (chkSchedule->Value() != scheduleWas) {
            chkSchedule_Click();
        }
        for (int n = 1; n <= kChannels; ++n) {
            const RowKeys keys = rowKeysOf(path, n);
            if (keys.ip == txtIP(n)->text() && keys.dvrPort == txtPort(n)->text() &&
                keys.posPort == txtPortOpen(n)->text() && keys.enable == chkEnable(n)->Value() &&
                keys.allow == allowed_(n) && keys.shaping == shaping_(n).options) {
                continue;
            }
            changed.append(n);
            // As a user would: Disconnect, change the row, Connect.
            const bool wasGoing = cmdDisconnect(n)->isEnabled();
            if (wasGoing) {
                cmdDisconnect_Click(n);
            }
            applyRowKeys(n, read);
            if ((wasGoing || chkAuto->Value() == 1) && cmdConnect(n)->isEnabled()) {
                cmdConnect_Click(n);
            }
        }
        applyPrinterKeys(read);
    } catch (const IniError& e) {
        // The private copy went away under us; what was applied stays applied.
        qCWarning(lcSettings, "reload stopped part way: %s", e.what());
        return QString::fromLocal8Bit(e.what());
    }
    QStringList rows;
    for (const int n : changed) {
        rows.append(QString::number(n));
    }
    const QString line = changed.isEmpty()
                             ? QStringLiteral("reloaded, no row changed")
                             : QStringLiteral("reloaded, rows changed: %1").arg(rows.join(", "));
    qCInfo(lcSettings, "%s", qUtf8Printable(line));
    emit bridgeChanged();
    *ok = true;
    return line;
}
