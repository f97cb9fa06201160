#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>

// What makes a settings file unusable for a reload (or for `poskavelinctl check`): the
// section and key at fault, and why, e.g. "Connection 3", "POS_PORT", "\"70000\" is not a
// port from 1 to 65535".
struct SettingsProblem {
    QString section;
    QString key;
    QString why;
    // "[Connection 3] POS_PORT: ..." (without the key when the file itself is at fault).
    QString text() const;
};

// A private copy of a settings file, so that every key of one reload or check is read
// from the same bytes while an editor may be writing the file, and so that checking a
// file that does not exist does not create it, as ReadIni would.
class SettingsCopy {
public:
    // Nullopt-like: an empty copy with the reason set when the file cannot be read.
    explicit SettingsCopy(const QString& iniPath);
    bool ok() const { return problem_ == std::nullopt; }
    const std::optional<SettingsProblem>& problem() const { return problem_; }
    QString path() const;

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::optional<SettingsProblem> problem_;
};

// Checks every row's keys as start-up would take them: the DVR address and both ports of
// a row that is switched on, ENABLE, ALLOW and the shaping keys of every row, and the
// schedule's hours. A row that is switched off may hold anything in its address and
// ports, as the window lets a user type. Nullopt when the bridge can take the file.
std::optional<SettingsProblem> checkSettings(const QString& iniPath);
// The same for a copy already taken, which a reload then goes on to read.
std::optional<SettingsProblem> checkSettings(const SettingsCopy& copy);
