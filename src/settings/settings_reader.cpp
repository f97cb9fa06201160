#include "settings/settings_reader.h"

#include "dvr/address_checks.h"
#include "settings/ini.h"
#include "settings/ini_file.h"
#include "settings/setting_numbers.h"

namespace {

QString quoted(const QByteArray& value) {
    return QLatin1Char('"') + QString::fromUtf8(value) + QLatin1Char('"');
}

class Reader {
public:
    explicit Reader(const QByteArray& text) : text_(text) {}

    Settings read() {
        readSetup();
        const QList<IniLine> lines = iniLines(text_);
        QList<StrayAllowLine> strays = strayAllowLines(lines);
        for (const StrayAllowLine& stray : strays) {
            settings_.warnings.append(stray.text);
        }
        for (int n = 1; n <= Settings::kRows; ++n) {
            readRow(n, strays);
        }
        return std::move(settings_);
    }

private:
    QByteArray value(const QByteArray& section, const char* key) const {
        return iniValue(text_, section, key);
    }

    void problem(const QByteArray& section, const char* key, const QString& why, int row = 0,
                 bool closesRow = false) {
        settings_.problems.append(SettingsProblem{QString::fromUtf8(section),
                                                  QString::fromLatin1(key), why, row, closesRow});
    }

    void readSetup() {
        SetupSettings& s = settings_.setup;
        const auto number = [&](const char* key, int low, int high) {
            return setting_numbers::boundedValue(value("Setup", key), low, high);
        };
        s.hide = number("Hide", 0, 2);
        s.enableSchedule = number("EnableSchedule", 0, 2);
        s.startHour = number("StartHour", 0, 23);
        s.endHour = number("EndHour", 0, 23);
        s.autoRun = number("AutoRun", 0, 2);
        s.enablePrinter = setting_numbers::int16Value(value("Setup", "EnablePrinter"));
        s.printer = value("Setup", "Printer");
        s.metrics = value("Setup", "Metrics");
        for (const char* key : {"StartHour", "EndHour"}) {
            const QByteArray hour = value("Setup", key);
            if (!hour.trimmed().isEmpty() && !number(key, 0, 23)) {
                problem("Setup", key, quoted(hour) + QStringLiteral(" is not an hour 0 to 23"));
            }
        }
    }

    void readRow(int n, const QList<StrayAllowLine>& strays) {
        const QByteArray section = "Connection " + QByteArray::number(n);
        RowSettings& row = settings_.rows[size_t(n - 1)];
        row.ip = QString::fromUtf8(value(section, "IP"));
        row.dvrPort = QString::fromUtf8(value(section, "DVR_PORT"));
        row.posPort = QString::fromUtf8(value(section, "POS_PORT"));

        const QByteArray enable = value(section, "ENABLE");
        row.enable = setting_numbers::boundedValue(enable, 0, 2);
        if (!enable.trimmed().isEmpty() && !row.enable) {
            problem(section, "ENABLE", quoted(enable) + QStringLiteral(" is not 0, 1 or 2"), n);
        }
        // A row switched off may hold anything in its boxes, as the window lets a user type.
        if (row.enable.value_or(0) != 0) {
            const QByteArray ip = row.ip.toUtf8();
            if (!ip.trimmed().isEmpty() && !IsValidIP(row.ip)) {
                problem(section, "IP", quoted(ip) + QStringLiteral(" is not an IPv4 address"), n);
            }
            const auto checkPort = [&](const char* key, const QString& text, auto rule) {
                if (!text.trimmed().isEmpty() && !rule(text)) {
                    problem(
                        section, key,
                        quoted(text.toUtf8()) + QStringLiteral(" is not a port from 1 to 65535"),
                        n);
                }
            };
            checkPort("DVR_PORT", row.dvrPort, setting_numbers::dvrPort);
            // A terminal on a serial line leaves POS_PORT unused.
            if (value(section, "POS_SERIAL").trimmed().isEmpty()) {
                checkPort("POS_PORT", row.posPort, setting_numbers::listenPort);
            }
        }

        const QByteArray allowText = value(section, "ALLOW");
        QString badEntry;
        row.allow = AllowList::parse(allowText, &badEntry);
        if (!row.allow) {
            problem(section, "ALLOW",
                    QStringLiteral("entry \"%1\" is not an address or range").arg(badEntry), n,
                    true);
        } else if (row.allow->isEmpty()) {
            // A line meant as the row's list that is not read as one would let anyone in.
            for (const StrayAllowLine& stray : strays) {
                if (stray.row == n) {
                    row.allow.reset();
                    problem(section, "ALLOW",
                            QStringLiteral("line %1 looks like the row's list but is not read as "
                                           "one, and the row would let anyone in")
                                .arg(stray.line),
                            n, true);
                    break;
                }
            }
        }

        QString badKey;
        QString why;
        row.shaping = ShapingOptions::parse(
            [&](const char* key) -> std::optional<QByteArray> {
                // Absent and empty read alike, as ReadIni cannot tell them apart.
                return value(section, key);
            },
            &badKey, &why);
        if (!row.shaping) {
            settings_.problems.append(
                SettingsProblem{QString::fromUtf8(section), badKey, why, n, true});
        }
        row.printerLine = PrinterLineOptions::parse(
            [&](const char* key) -> std::optional<QByteArray> { return value(section, key); },
            &badKey, &why);
        if (!row.printerLine) {
            settings_.problems.append(
                SettingsProblem{QString::fromUtf8(section), badKey, why, n, true});
        }
    }

    const QByteArray& text_;
    Settings settings_;
};

}  // namespace

QString SettingsProblem::text() const {
    return key.isEmpty() ? QStringLiteral("[%1] %2").arg(section, why)
                         : QStringLiteral("[%1] %2: %3").arg(section, key, why);
}

RowSettings RowSettings::appliedOver(int enableNow) const {
    RowSettings applied = *this;
    applied.enable = enable.value_or(enableNow);
    return applied;
}

Settings readSettings(const QByteArray& text) {
    return Reader(text).read();
}

Settings loadSettings(const QString& path, MissingFile missing) {
    return readSettings(ini_detail::LoadFile(path, missing == MissingFile::Create
                                                       ? ini_detail::Missing::Create
                                                       : ini_detail::Missing::Refuse));
}

std::optional<SettingsProblem> checkSettingsFile(const QString& path, Settings* read) {
    try {
        Settings settings = loadSettings(path, MissingFile::Refuse);
        std::optional<SettingsProblem> first;
        if (!settings.problems.isEmpty()) {
            first = settings.problems.first();
        }
        if (read) {
            *read = std::move(settings);
        }
        return first;
    } catch (const IniError& e) {
        return SettingsProblem{QStringLiteral("settings"), QString(),
                               QString::fromLocal8Bit(e.what())};
    }
}
