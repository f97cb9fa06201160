#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

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

// A settings file is a few kilobytes; anything near this is not one, and reading it 71
// times at start-up would stall the window.
constexpr qint64 kMaxFileBytes = 1 << 20;

QString SystemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why a file of this type cannot be the settings file, or empty when it can.
QString NotRegularReason(mode_t mode) {
    if (S_ISREG(mode)) {
        return {};
    }
    if (S_ISDIR(mode)) {
        return QStringLiteral("it is a folder, not a file");
    }
    if (S_ISFIFO(mode)) {
        return QStringLiteral("it is a pipe, not a file");
    }
    if (S_ISSOCK(mode)) {
        return QStringLiteral("it is a socket, not a file");
    }
    return QStringLiteral("it is a device, not a file");
}

// Only a regular file of sane size is ever read: a pipe would block start-up in open()
// forever, and a link to a device such as /dev/zero would be read until memory runs out.
// A missing file is created empty; a file someone marked read-only gets its owner's read
// and write access back, so it is usable again at the next read or write.
QByteArray LoadFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        if (errno != ENOENT) {
            Fail("cannot open", path, SystemReason(errno));
        }
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        // EEXIST: someone else created it since the check; it is checked below like any file.
        if (fd < 0 && errno != EEXIST) {
            Fail("cannot create", path, SystemReason(errno));
        }
        if (fd >= 0) {
            ::close(fd);
        }
    } else if (const QString why = NotRegularReason(info.st_mode); !why.isEmpty()) {
        Fail("cannot read", path, why);
    } else if ((info.st_mode & (S_IRUSR | S_IWUSR)) != (S_IRUSR | S_IWUSR)) {
        // A refusal (file of another owner) is not fatal here: the open or the rewrite
        // that follows fails with the system's own reason if access is really missing.
        ::chmod(name.constData(), (info.st_mode & 07777) | S_IRUSR | S_IWUSR);
    }

    // O_NONBLOCK: should a pipe have taken the file's place since the check, open() must
    // not wait for a writer; fstat below then refuses it.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot open", path, SystemReason(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &info) != 0) {
        Fail("cannot read", path, SystemReason(errno));
    }
    if (const QString why = NotRegularReason(info.st_mode); !why.isEmpty()) {
        Fail("cannot read", path, why);
    }
    const QString tooLarge = QStringLiteral("it is larger than %1 KiB").arg(kMaxFileBytes / 1024);
    if (info.st_size > kMaxFileBytes) {
        Fail("cannot read", path, tooLarge);
    }
    // The size is only a hint: the file may grow while it is read.
    QByteArray text(qsizetype(info.st_size) + 1, Qt::Uninitialized);
    qsizetype done = 0;
    for (;;) {
        if (done == text.size()) {
            if (text.size() > kMaxFileBytes) {
                Fail("cannot read", path, tooLarge);
            }
            text.resize(qMin<qsizetype>(text.size() * 2, kMaxFileBytes + 1));
        }
        const ssize_t n = ::read(fd, text.data() + done, size_t(text.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            Fail("cannot read", path, SystemReason(errno));
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    text.truncate(done);
    return text;
}

}  // namespace ini_detail

QByteArray ReadIni(const QString& path, const QByteArray& section, const QByteArray& key) {
    using ini_detail::AsciiLower;
    const QByteArray text = ini_detail::LoadFile(path);
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
