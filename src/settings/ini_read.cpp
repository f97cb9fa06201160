#include "settings/ini.h"
#include "settings/ini_file.h"

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

}  // namespace ini_detail

QByteArray ReadIni(const QString& path, const QByteArray& section, const QByteArray& key) {
    return iniValue(ini_detail::LoadFile(path), section, key);
}

QByteArray iniValue(const QByteArray& text, const QByteArray& section, const QByteArray& key) {
    using ini_detail::AsciiLower;
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
            pos = (cr + 1 < text.size() && text[cr + 1] == '\n') ? cr + 2 : cr + 1;
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
