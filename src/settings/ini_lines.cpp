#include "settings/ini.h"
#include "settings/ini_file.h"

QList<IniLine> readIniLines(const QString& path) {
    return iniLines(ini_detail::LoadFile(path));
}

QList<IniLine> iniLines(const QByteArray& text) {
    QList<IniLine> lines;
    QByteArray heading;
    int number = 1;
    qsizetype pos = 0;
    // The same walk as ReadIni's: a line ends at CR LF or a lone CR, and any line holding
    // a "[" is a section line, whatever else it holds.
    while (pos < text.size()) {
        const qsizetype cr = text.indexOf('\r', pos);
        const qsizetype end = cr < 0 ? text.size() : cr;
        IniLine line{number, text.mid(pos, end - pos), {}, false};
        if (cr < 0) {
            pos = text.size();
        } else {
            pos = (cr + 1 < text.size() && text.at(cr + 1) == '\n') ? cr + 2 : cr + 1;
        }
        number += 1 + int(line.text.count('\n'));
        line.isHeading = line.text.contains('[');
        if (line.isHeading) {
            heading = line.text;
        }
        line.heading = heading;
        lines.append(std::move(line));
    }
    return lines;
}

bool iniOpensSection(QByteArrayView heading, QByteArrayView section) {
    using ini_detail::AsciiLower;
    return AsciiLower(heading) == '[' + AsciiLower(section) + ']';
}

bool isIniKeyLine(QByteArrayView line, QByteArrayView key) {
    using ini_detail::AsciiLower;
    const QByteArray prefix = AsciiLower(key) + '=';
    return AsciiLower(line.first(qMin(line.size(), prefix.size()))) == prefix;
}
