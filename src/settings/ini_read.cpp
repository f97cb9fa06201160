#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#include "settings/ini.h"

// Helpers shared with ini_write.cpp, which declares them itself: they are the file
// access both routines begin with, and nothing outside the settings file needs them.
namespace ini_detail {

[[noreturn]] void Fail(const char* what, const QString& path, const QString& reason) {
    throw IniError(QStringLiteral("%1 settings file %2: %3")
                       .arg(QLatin1String(what), path, reason)
                       .toStdString());
}

// Only A-Z fold. Bytes from 0x80 up are left alone, so a name written in UTF-8 (or any
// other 8-bit code page) compares byte for byte and cannot turn into another name.
QByteArray AsciiLower(QByteArrayView text) {
    QByteArray lower(text.data(), text.size());
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

// Creates a missing file and gives its owner back read and write access, so that a file
// someone marked read-only is usable again at the next read or write.
void PrepareFile(const QString& path) {
    if (!QFileInfo::exists(path)) {
        QFile file(path);
        // NewOnly: never truncate a file that appeared since the check.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFileInfo::exists(path)) {
            Fail("cannot create", path, file.errorString());
        }
    }
    constexpr QFileDevice::Permissions kOwnerAccess =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QFileDevice::Permissions permissions = QFile::permissions(path);
    if ((permissions & kOwnerAccess) != kOwnerAccess) {
        // A refusal (file of another owner) is not fatal here: the open or the rewrite
        // that follows fails with the system's own reason if access is really missing.
        QFile::setPermissions(path, permissions | kOwnerAccess);
    }
}

QByteArray ReadWholeFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Fail("cannot open", path, file.errorString());
    }
    QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        Fail("cannot read", path, file.errorString());
    }
    return text;
}

}  // namespace ini_detail

QByteArray ReadIni(const QString& path, const QByteArray& section, const QByteArray& key) {
    using ini_detail::AsciiLower;
    ini_detail::PrepareFile(path);
    const QByteArray text = ini_detail::ReadWholeFile(path);
    const QByteArray header = '[' + AsciiLower(section) + ']';
    const QByteArray prefix = AsciiLower(key) + '=';

    // Lines end at CR LF or at a lone CR; a lone LF stays inside its line. Every
    // occurrence of a repeated section is searched, so the first key line in file order
    // wins, which is where the writer puts a key it adds.
    bool inSection = false;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype cr = text.indexOf('\r', pos);
        const qsizetype end = cr < 0 ? text.size() : cr;
        const QByteArrayView line(text.constData() + pos, end - pos);
        if (cr < 0) {
            pos = text.size();
        } else {
            pos = (cr + 1 < text.size() && text.at(cr + 1) == '\n') ? cr + 2 : cr + 1;
        }

        // Any "[" ends the section, even inside what looks like a value, exactly as the
        // writer sees it; otherwise the two would disagree about where a section stops.
        if (line.contains('[')) {
            inSection = AsciiLower(line) == header;
            continue;
        }
        if (inSection && AsciiLower(line.first(qMin(line.size(), prefix.size()))) == prefix) {
            return line.sliced(prefix.size()).toByteArray();
        }
    }
    return {};
}
