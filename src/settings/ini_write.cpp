#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <system_error>
#include <utility>

#include "settings/ini.h"

// Defined in ini_read.cpp.
namespace ini_detail {
[[noreturn]] void Fail(const char* what, const QString& path, const QString& reason);
QByteArray AsciiLower(QByteArrayView text);
void PrepareFile(const QString& path);
QByteArray ReadWholeFile(const QString& path);
}  // namespace ini_detail

namespace {

QString SystemReason(int error) {
    return QString::fromStdString(std::system_category().message(error));
}

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

// The old file stays as it was unless the new text is complete on disk: the text goes to
// a temporary file beside it, is synced, and then renamed over the old one.
void ReplaceFile(const QString& path, const QByteArray& text) {
    QSaveFile out(path);
    // Unbuffered, so a failing write (full disk) is reported by write() itself.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        ini_detail::Fail("cannot write", path, out.errorString());
    }
    // A short write carries no error; the reason (disk full) comes with the next attempt.
    for (qsizetype done = 0; done < text.size();) {
        const qint64 written = out.write(text.constData() + done, text.size() - done);
        if (written <= 0) {
            ini_detail::Fail("cannot write", path, out.errorString());
        }
        done += written;
    }
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
    ini_detail::PrepareFile(path);

    // The CR LF in front lets a header or key on the first line be found like any other;
    // the "[]" behind guarantees that every section is followed by a "[".
    QByteArray w = "\r\n" + ini_detail::ReadWholeFile(path) + "[]";
    const QByteArray lower = AsciiLower(w);
    const QByteArray header = "\r\n[" + AsciiLower(section) + "]\r";
    const QByteArray keyStart = '\n' + AsciiLower(key) + '=';
    const QByteArray keyLine = key + '=' + value;
    w.chop(2);  // the "[]" has done its job once the positions below are known

    // Only the first occurrence of a section is searched. A key added there lies before
    // any later occurrence, so the reader, which takes the first match, sees it.
    const qsizetype headerAt = lower.indexOf(header);
    if (headerAt < 0) {
        w += "\r\n\r\n[" + section + "]\r\n" + keyLine;
    } else {
        const qsizetype afterHeader = headerAt + header.size();
        const qsizetype nextSection = lower.indexOf('[', afterHeader);  // at worst the "[]"
        const qsizetype keyAt = lower.indexOf(keyStart, headerAt);
        if (keyAt < 0 || keyAt > nextSection) {
            // New keys go first in the section. The header line usually ends in CR LF;
            // after a lone CR the key goes straight behind it rather than into the next line.
            const qsizetype insertAt =
                afterHeader < w.size() && w.at(afterHeader) == '\n' ? afterHeader + 1 : afterHeader;
            w.insert(insertAt, keyLine + "\r\n");
        } else {
            // The old line runs to the next CR. A hand-edited file may end in this line
            // with no line end at all; then it runs to the end of the text.
            const qsizetype lineStart = keyAt + 1;
            const qsizetype cr = w.indexOf('\r', lineStart);
            const qsizetype lineEnd = cr < 0 ? w.size() : cr;
            w.replace(lineStart, lineEnd - lineStart, keyLine);
        }
    }

    ReplaceFile(path, Normalise(std::move(w)));
}
