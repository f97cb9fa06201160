#include <QTimer>
#include <optional>
#include <utility>

#include "app/frmKavelin.h"
#include "service/metrics_http.h"
#include "settings/ini.h"
#include "settings/settings_reader.h"

namespace {

// What the file holds that start-up cannot apply as written, logged as a reload or a check
// would report it, so the three never disagree about a file.
void logReading(const Settings& settings) {
    for (const QString& warning : settings.warnings) {
        qCWarning(lcPos, "%s", qUtf8Printable(warning));
    }
    for (const SettingsProblem& problem : settings.problems) {
        if (problem.closesRow) {
            qCWarning(lcPos, "channel %d: %s %s; the channel will not listen for its terminal",
                      problem.row, qUtf8Printable(problem.key), qUtf8Printable(problem.why));
        } else {
            qCWarning(lcSettings, "%s", qUtf8Printable(problem.text()));
        }
    }
}

}  // namespace

void frmKavelin::Form_Load() {
    loading_ = true;
    // A file that cannot be read gives one warning, then the initial settings.
    Settings settings;
    bool readable = true;
    try {
        settings = loadSettings(iniPath_, MissingFile::Create);
    } catch (const IniError& e) {
        readable = false;
        qCWarning(lcSettings, "%s; starting with the initial settings", e.what());
        warn(QStringLiteral("The settings could not be read, so the program starts with its "
                            "initial settings.\r\n") +
                 QString::fromLocal8Bit(e.what()),
             QString(), MsgIcon::Exclamation);
    }
    if (readable) {
        applySetupKeys(settings.setup);
    }
    setVisible(chkHide->Value() != 1);
    for (int n = 1; n <= kChannels; ++n) {
        if (readable) {
            applyRowKeys(n, settings.row(n));
        } else {
            chkEnable_Click(n);
        }
    }
    if (readable) {
        logReading(settings);
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

    applyPrinterKeys(settings.setup);
    // Read once: a reload changes rows, not where the bridge is observed.
    serveMetrics(this, settings.setup.metrics);

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

void frmKavelin::applySetupKeys(const SetupSettings& setup) {
    const auto apply = [](auto* control, const std::optional<int>& value) {
        if (value) {
            control->setValue(*value);
        }
    };
    apply(chkHide, setup.hide);
    apply(chkSchedule, setup.enableSchedule);
    apply(startHour, setup.startHour);
    apply(endHour, setup.endHour);
    apply(chkAuto, setup.autoRun);
}

void frmKavelin::applyRowKeys(int n, const RowSettings& row) {
    txtIP(n)->setText(row.ip);
    txtPort(n)->setText(row.dvrPort);
    txtPortOpen(n)->setText(row.posPort);
    if (row.enable) {
        chkEnable(n)->setValue(*row.enable);
    }
    chkEnable_Click(n);
    // Neither is a control: they live only in the file, which saving leaves as it is.
    channel(n).applyAllowList(row.allow, tcpServer(n)->State() == Winsock::sckListening);
    applyShaping(n, row.shaping);
    applyPrinterLine(n, row.printerLine);
}

void frmKavelin::applyPrinterKeys(const SetupSettings& setup) {
    if (setup.enablePrinter) {
        PrinterOn = qint16(*setup.enablePrinter);
    }
    fillPrinterList(setup.printer);
}

void frmKavelin::chkEnable_Click(int index) {
    const bool on = chkEnable(index)->Value() != 0;
    txtIP(index)->setEnabled(on);
    txtPort(index)->setEnabled(on);
    txtPortOpen(index)->setEnabled(on);
    cmdConnect(index)->setEnabled(on);
}
