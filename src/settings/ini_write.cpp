#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <cerrno>
#include <utility>

#include "settings/ini.h"

// Defined in ini_read.cpp.
namespace ini_detail {
[[noreturn]] void Fail(const char* what, const QString& path, const QString& reason);
QByteArray AsciiLower(QByteArrayView text);
QByteArray LoadFile(const QString& path);
QString SystemReason(int error);
}  // namespace ini_detail

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

using ini_detail::SystemReason;

void WriteAll(int fd, const QString& path, const QByteArray& text) {
    for (qsizetype done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.constData() + done, size_t(text.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A short write carries no error; the reason (disk full) comes with the next attempt.
        if (n <= 0) {
            ini_detail::Fail("cannot write", path, SystemReason(n < 0 ? errno : ENOSPC));
        }
        done += n;
    }
}

// For a folder that refuses new files while the file itself may be written (a shared
// folder where only the file was opened up to the user): the text is written over the
// old one and the rest cut off, so the file is never empty for longer than it must be.
void RewriteInPlace(const QString& path, const QByteArray& text) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        ini_detail::Fail("cannot write", path, SystemReason(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    WriteAll(fd, path, text);
    if (::ftruncate(fd, off_t(text.size())) != 0 || (::fsync(fd) != 0 && errno != EINVAL)) {
        ini_detail::Fail("cannot write", path, SystemReason(errno));
    }
}

// The old file stays as it was unless the new text is complete on disk: the text goes to
// a temporary file beside it, is synced, and then renamed over the old one. Only when the
// folder refuses the temporary file is the file rewritten where it is.
void ReplaceFile(const QString& path, const QByteArray& text) {
    QSaveFile out(path);
    // Unbuffered, so a failing write (full disk) is reported by write() itself.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        RewriteInPlace(path, text);
        return;
    }
    WriteAll(out.handle(), path, text);
    // QSaveFile syncs too, but ignores the result; a failed sync must not be renamed over
    // good settings. EINVAL only says the file system has nothing to sync.
    if (::fsync(out.handle()) != 0 && errno != EINVAL) {
        ini_detail::Fail("cannot write", path, SystemReason(errno));
    }
    if (!out.commit()) {
        ini_detail::Fail("cannot write", path, out.errorString());
    }
    // Makes the rename itself durable. Best effort: the new file is already complete.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
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

    ReplaceFile(path, Normalise(std::move(w)));
}
