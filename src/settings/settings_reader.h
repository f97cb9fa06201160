#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

#include "pos/allow_list.h"
#include "printer_line/printer_keys.h"
#include "shaping/shaping_options.h"

// What makes a settings file unusable for a reload (or for `poskavelinctl check`): the
// section and key at fault, and why, e.g. "Connection 3", "POS_PORT", "\"70000\" is not a
// port from 1 to 65535". `row` is the channel it concerns, 0 for none.
struct SettingsProblem {
    QString section;
    QString key;
    QString why;
    int row = 0;
    // The row never listens for its terminal while this stands (a list or shaping keys that
    // do not read).
    bool closesRow = false;
    // "[Connection 3] POS_PORT: ..." (without the key when the file itself is at fault).
    QString text() const;
};

// The "Setup" keys as start-up applies them; nullopt for a number that is absent or does
// not read, which leaves its control as it is.
struct SetupSettings {
    std::optional<int> hide;
    std::optional<int> enableSchedule;
    std::optional<int> startHour;
    std::optional<int> endHour;
    std::optional<int> autoRun;
    std::optional<int> enablePrinter;
    QByteArray printer;
    QByteArray metrics;
};

// One channel's keys as start-up applies them.
struct RowSettings {
    // Text keys go into the row's boxes as written, "" when absent.
    QString ip;
    QString dvrPort;
    QString posPort;
    // Nullopt: absent or not 0 to 2; the box keeps its value.
    std::optional<int> enable;
    // Nullopt for a list or shaping keys that do not read: the row then never listens, so a
    // typo can neither open it to everyone nor let card numbers through.
    std::optional<AllowList> allow = AllowList();
    std::optional<ShapingOptions> shaping = ShapingOptions();
    // The till's printer behind the row, status answers, serial lines; nullopt when the keys
    // do not read, and the row then never listens either.
    std::optional<PrinterLineOptions> printerLine = PrinterLineOptions();

    // The row as it runs once these keys are applied over a box that holds `enableNow`: an
    // absent ENABLE leaves the box as it is, at start-up and at a reload alike.
    RowSettings appliedOver(int enableNow) const;
    bool operator==(const RowSettings&) const = default;
};

// The whole file as one reading: the values every path applies, what makes it unusable
// for a reload or a check, and lines that look like settings but are not read as any.
struct Settings {
    static constexpr int kRows = 16;
    SetupSettings setup;
    std::array<RowSettings, kRows> rows;
    QList<SettingsProblem> problems;
    QStringList warnings;

    const RowSettings& row(int n) const { return rows[size_t(n - 1)]; }
};

// The one reader of the settings file's bytes, for start-up, reload and check alike.
Settings readSettings(const QByteArray& text);

enum class MissingFile { Create, Refuse };
// Loads the file through the guarded loader (a regular file of at most 1 MiB; a pipe,
// device or folder is refused at once) and reads it. Throws IniError when it cannot.
Settings loadSettings(const QString& path, MissingFile missing);

// The check `poskavelinctl check` and a reload make: nullopt when the file is usable,
// else its first problem (the file itself that cannot be read included).
std::optional<SettingsProblem> checkSettingsFile(const QString& path, Settings* read = nullptr);
