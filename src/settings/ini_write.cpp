#include <QList>
#include <utility>

#include "settings/ini.h"
#include "settings/ini_file.h"

namespace {

// Codes 0 to 13 (TAB, LF, CR among them) are trimmed, a blank is not. Compared unsigned:
// a value may end in bytes from 0x80 up, and those are text.
bool IsTrimmedAtEnds(char c) {
    return static_cast<unsigned char>(c) <= 13;
}

// One empty line at most between blocks, none at either end, one CR LF at the end.
QByteArray Normalise(QByteArray w) {
    w.remove(0, 1);  // the CR of the CR LF put in front to find a header on the first line
    static const QByteArray kThreeLineEnds = "\r\n\r\n\r\n";
    static const QByteArray kTwoLineEnds = "\r\n\r\n";
    while (w.contains(kThreeLineEnds)) {
        w.replace(kThreeLineEnds, kTwoLineEnds);
    }
    qsizetype end = w.size();
    while (end > 0 && IsTrimmedAtEnds(w.at(end - 1))) {
        --end;
    }
    qsizetype begin = 0;
    while (begin < end && IsTrimmedAtEnds(w.at(begin))) {
        ++begin;
    }
    return w.sliced(begin, end - begin) + "\r\n";
}

struct LineSpan {
    qsizetype start;
    qsizetype end;   // the CR, or the end of the text
    qsizetype next;  // behind the CR or CR LF
};

// The reader's lines: they end at CR LF or at a lone CR; a lone LF stays inside.
QList<LineSpan> Lines(const QByteArray& text) {
    QList<LineSpan> lines;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype cr = text.indexOf('\r', pos);
        if (cr < 0) {
            lines.append({pos, text.size(), text.size()});
            break;
        }
        const qsizetype next = cr + 1 < text.size() && text.at(cr + 1) == '\n' ? cr + 2 : cr + 1;
        lines.append({pos, cr, next});
        pos = next;
    }
    return lines;
}

}  // namespace

void WriteIni(const QString& path, const QByteArray& section, const QByteArray& key,
              const QByteArray& value) {
    using ini_detail::AsciiLower;
    QByteArray w = ini_detail::LoadFile(path);
    const QByteArray header = '[' + AsciiLower(section) + ']';
    const QByteArray prefix = AsciiLower(key) + '=';
    const QByteArray keyLine = key + '=' + value;
    // Lines are cut exactly where the reader cuts them, so a hand-edited file with a lone
    // CR or a stray LF inside a value is written where it will be read back, instead of
    // growing a duplicate key on every save or splicing into the middle of a value.
    const QList<LineSpan> lines = Lines(w);
    auto text = [&](const LineSpan& line) {
        return QByteArrayView(w).sliced(line.start, line.end - line.start);
    };

    // Only the first occurrence of a section is searched. A key added there lies before
    // any later occurrence, so the reader, which takes the first match, sees it.
    qsizetype h = 0;
    while (h < lines.size() && AsciiLower(text(lines[h])) != header) {
        ++h;
    }
    if (h == lines.size()) {
        w = "\r\n" + w + "\r\n\r\n[" + section + "]\r\n" + keyLine;
    } else {
        // The section ends at the next line holding "[", but a key line is taken before
        // that test: the line of a value with "[" in it is still replaced, not duplicated.
        qsizetype k = h + 1;
        while (k < lines.size() && !AsciiLower(text(lines[k])).startsWith(prefix) &&
               !text(lines[k]).contains('[')) {
            ++k;
        }
        if (k < lines.size() && AsciiLower(text(lines[k])).startsWith(prefix)) {
            w.replace(lines[k].start, lines[k].end - lines[k].start, keyLine);
        } else if (lines[h].next == lines[h].end) {
            w.insert(lines[h].end, "\r\n" + keyLine);  // a header with no line end
        } else {
            w.insert(lines[h].next, keyLine + "\r\n");  // new keys go first in the section
        }
        w.prepend("\r\n");
    }

    ini_detail::ReplaceFile(path, Normalise(std::move(w)));
}
