#include "settings/settings_check.h"

#include <QFile>

#include "dvr/address_checks.h"
#include "pos/allow_list.h"
#include "settings/ini.h"
#include "shaping/shaping_options.h"

namespace {

std::optional<int> number(const QByteArray& text, int low, int high) {
    const QString trimmed = QString::fromLatin1(text.trimmed());
    bool ok = false;
    const int value = trimmed.toInt(&ok, 10);
    return ok && value >= low && value <= high ? std::optional(value) : std::nullopt;
}

SettingsProblem problem(const QByteArray& section, const char* key, const QString& why) {
    return SettingsProblem{QString::fromUtf8(section), QString::fromLatin1(key), why};
}

QString quoted(const QByteArray& value) {
    return QLatin1Char('"') + QString::fromUtf8(value) + QLatin1Char('"');
}

std::optional<SettingsProblem> checkRow(const QString& path, int n) {
    const QByteArray section = "Connection " + QByteArray::number(n);
    const auto read = [&](const char* key) { return ReadIni(path, section, key); };

    const QByteArray enable = read("ENABLE");
    const std::optional<int> on = enable.trimmed().isEmpty() ? 0 : number(enable, 0, 2);
    if (!on) {
        return problem(section, "ENABLE", quoted(enable) + QStringLiteral(" is not 0, 1 or 2"));
    }
    if (*on != 0) {
        const QByteArray ip = read("IP");
        if (!ip.trimmed().isEmpty() && !IsValidIP(QString::fromUtf8(ip))) {
            return problem(section, "IP", quoted(ip) + QStringLiteral(" is not an IPv4 address"));
        }
        for (const char* key : {"DVR_PORT", "POS_PORT"}) {
            const QByteArray port = read(key);
            if (!port.trimmed().isEmpty() &&
                (!IsDigitsOnly(QString::fromLatin1(port.trimmed())) || !number(port, 1, 65535))) {
                return problem(section, key,
                               quoted(port) + QStringLiteral(" is not a port from 1 to 65535"));
            }
        }
    }
    QString badEntry;
    if (!AllowList::parse(read("ALLOW"), &badEntry)) {
        return problem(section, "ALLOW",
                       QStringLiteral("\"%1\" is not an address or range").arg(badEntry));
    }
    QString badKey;
    QString why;
    const auto value = [&](const char* key) -> std::optional<QByteArray> { return read(key); };
    if (!ShapingOptions::parse(value, &badKey, &why)) {
        return SettingsProblem{QString::fromUtf8(section), badKey, why};
    }
    return std::nullopt;
}

}  // namespace

QString SettingsProblem::text() const {
    return key.isEmpty() ? QStringLiteral("[%1] %2").arg(section, why)
                         : QStringLiteral("[%1] %2: %3").arg(section, key, why);
}

SettingsCopy::SettingsCopy(const QString& iniPath) : dir_(std::make_unique<QTemporaryDir>()) {
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly)) {
        problem_ = SettingsProblem{iniPath, QString(), file.errorString()};
        return;
    }
    const QByteArray bytes = file.readAll();
    QFile copy(path());
    if (file.error() != QFile::NoError || !dir_->isValid() || !copy.open(QIODevice::WriteOnly) ||
        copy.write(bytes) != bytes.size() || !copy.flush()) {
        problem_ = SettingsProblem{
            iniPath, QString(),
            QStringLiteral("cannot be copied for reading (%1)")
                .arg(file.error() != QFile::NoError ? file.errorString() : copy.errorString())};
    }
}

QString SettingsCopy::path() const {
    return dir_->filePath(QStringLiteral("PosKavelin.ini"));
}

std::optional<SettingsProblem> checkSettings(const QString& iniPath) {
    return checkSettings(SettingsCopy(iniPath));
}

std::optional<SettingsProblem> checkSettings(const SettingsCopy& copy) {
    if (!copy.ok()) {
        return copy.problem();
    }
    try {
        for (const char* key : {"StartHour", "EndHour"}) {
            const QByteArray hour = ReadIni(copy.path(), "Setup", key);
            if (!hour.trimmed().isEmpty() && !number(hour, 0, 23)) {
                return problem("Setup", key,
                               quoted(hour) + QStringLiteral(" is not an hour 0 to 23"));
            }
        }
        for (int n = 1; n <= 16; ++n) {
            if (std::optional<SettingsProblem> bad = checkRow(copy.path(), n)) {
                return bad;
            }
        }
    } catch (const IniError& e) {
        return SettingsProblem{QStringLiteral("settings"), QString(),
                               QString::fromLocal8Bit(e.what())};
    }
    return std::nullopt;
}
