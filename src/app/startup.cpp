#include <QTimer>
#include <optional>
#include <utility>

#include "app/frmKavelin.h"
#include "service/metrics_http.h"
#include "settings/ini.h"

namespace {

// A numeric setting as start-up applies it: a signed 16-bit decimal with blanks around
// allowed. Anything else leaves the control at its initial value.
std::optional<int> toInt16(const QByteArray& text) {
    const QByteArray trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return std::nullopt;
    }
    bool ok = false;
    const int value = trimmed.toInt(&ok, 10);
    if (!ok || value < -32768 || value > 32767) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> inRange(std::optional<int> value, int low, int high) {
    if (value && *value >= low && *value <= high) {
        return value;
    }
    return std::nullopt;
}

std::optional<int> readNumber(const frmKavelin::IniRead& read, const QByteArray& section,
                              const QByteArray& key, int low, int high) {
    const auto text = read(section, key);
    return text ? inRange(toInt16(*text), low, high) : std::nullopt;
}

}  // namespace

void frmKavelin::Form_Load() {
    loading_ = true;
    // After one failed read the file is left alone: one warning, then initial values.
    bool readable = true;
    auto read = [&](const QByteArray& section, const QByteArray& key) -> std::optional<QByteArray> {
        if (!readable) {
            return std::nullopt;
        }
        try {
            return ReadIni(iniPath_, section, key);
        } catch (const IniError& e) {
            readable = false;
            qCWarning(lcSettings, "%s; starting with the initial settings", e.what());
            warn(QStringLiteral("The settings could not be read, so the program starts with its "
                                "initial settings.\r\n") +
                     QString::fromLocal8Bit(e.what()),
                 QString(), MsgIcon::Exclamation);
            return std::nullopt;
        }
    };
    applySetupKeys(read);
    setVisible(chkHide->Value() != 1);
    for (int n = 1; n <= kChannels; ++n) {
        applyRowKeys(n, read);
    }
    // A list that is not read lets anyone in, so a line that was meant as one must not
    // pass in silence.
    if (readable) {
        try {
            for (const QString& warning : strayAllowLines(readIniLines(iniPath_))) {
                qCWarning(lcPos, "%s", qUtf8Printable(warning));
            }
        } catch (const IniError& e) {
            qCWarning(lcSettings, "%s; ALLOW lines written wrongly are not looked for", e.what());
        }
    }

    for (int n = 1; n <= kChannels; ++n) {
        PosConnected(n) = kFalse;
        DvrConnected(n) = kFalse;
    }

    scheduleArmed_ = true;
    chkSchedule_Click();
    startHour_Change();

    if (chkAuto->Value() == 1) {
        cmdConnectAll_Click();
    }

    applyPrinterKeys(read);
    // Read once: a reload changes rows, not where the bridge is observed.
    serveMetrics(this, read("Setup", "Metrics").value_or(QByteArray()));

    loading_ = false;
    if (!boxesAfterLoad_.isEmpty()) {
        QTimer::singleShot(0, this, [this] {
            if (unloaded_) {
                return;
            }
            for (const auto& [text, title, icon] : std::exchange(boxesAfterLoad_, {})) {
                showBox(text, title, icon);
            }
        });
    }
}

void frmKavelin::applySetupKeys(const IniRead& read) {
    const auto applyCheck = [&](KavelinCheckBox* box, const QByteArray& key) {
        if (const auto value = readNumber(read, "Setup", key, 0, 2)) {
            box->setValue(*value);
        }
    };
    const auto applyHour = [&](QScrollBar* bar, const QByteArray& key) {
        if (const auto value = readNumber(read, "Setup", key, 0, 23)) {
            bar->setValue(*value);
        }
    };
    applyCheck(chkHide, "Hide");
    applyCheck(chkSchedule, "EnableSchedule");
    applyHour(startHour, "StartHour");
    applyHour(endHour, "EndHour");
    applyCheck(chkAuto, "AutoRun");
}

void frmKavelin::applyRowKeys(int n, const IniRead& read) {
    const QByteArray section = "Connection " + QByteArray::number(n);
    const auto applyText = [&](QLineEdit* box, const QByteArray& key) {
        if (const auto value = read(section, key)) {
            box->setText(QString::fromUtf8(*value));
        }
    };
    applyText(txtIP(n), "IP");
    applyText(txtPort(n), "DVR_PORT");
    applyText(txtPortOpen(n), "POS_PORT");
    if (const auto value = readNumber(read, section, "ENABLE", 0, 2)) {
        chkEnable(n)->setValue(*value);
    }
    chkEnable_Click(n);
    // Neither is a control: they live only in the file, which saving leaves as it is.
    applyAllowList(n, read(section, "ALLOW").value_or(QByteArray()));
    applyShaping(n, [&](const char* key) { return read(section, key); });
}

void frmKavelin::applyPrinterKeys(const IniRead& read) {
    const QByteArray savedPrinter = read("Setup", "Printer").value_or(QByteArray());
    if (const auto printerOn = readNumber(read, "Setup", "EnablePrinter", -32768, 32767)) {
        PrinterOn = qint16(*printerOn);
    }
    fillPrinterList(savedPrinter);
}

void frmKavelin::applyAllowList(int index, const QByteArray& text) {
    QString badEntry;
    std::optional<AllowList> list = AllowList::parse(text, &badEntry);
    if (!list) {
        qCWarning(lcPos,
                  "channel %d: ALLOW entry \"%s\" is not an address or range; the "
                  "channel will not listen for its terminal",
                  index, qUtf8Printable(badEntry));
    } else if (list != allowed_(index)) {
        allowAnnounced_(index) = false;
    }
    allowed_(index) = std::move(list);
    if (allowed_(index) && tcpServer(index)->State() == Winsock::sckListening) {
        announceAllowList(index);
    }
}

void frmKavelin::announceAllowList(int index) {
    if (!std::exchange(allowAnnounced_(index), true)) {
        qCInfo(lcPos, "channel %d: accepts terminals from %s", index,
               qUtf8Printable(allowed_(index)->describe()));
    }
}

void frmKavelin::chkEnable_Click(int index) {
    const bool on = chkEnable(index)->Value() != 0;
    txtIP(index)->setEnabled(on);
    txtPort(index)->setEnabled(on);
    txtPortOpen(index)->setEnabled(on);
    cmdConnect(index)->setEnabled(on);
}
