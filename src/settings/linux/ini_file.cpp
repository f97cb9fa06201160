#include "settings/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>

namespace ini_detail {

namespace {

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

}  // namespace

// Only a regular file of sane size is ever read: a pipe would block start-up in open()
// forever, and a link to a device such as /dev/zero would be read until memory runs out.
// A missing file is created empty; a file someone marked read-only gets its owner's read
// and write access back, so it is usable again at the next read or write.
QByteArray LoadFile(const QString& path, Missing missing) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) {
        if (errno != ENOENT || missing == Missing::Refuse) {
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

namespace {

void WriteAll(int fd, const QString& path, const QByteArray& text) {
    for (qsizetype done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.constData() + done, size_t(text.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A short write carries no error; the reason (disk full) comes with the next attempt.
        if (n <= 0) {
            Fail("cannot write", path, SystemReason(n < 0 ? errno : ENOSPC));
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
        Fail("cannot write", path, SystemReason(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    WriteAll(fd, path, text);
    if (::ftruncate(fd, off_t(text.size())) != 0 || (::fsync(fd) != 0 && errno != EINVAL)) {
        Fail("cannot write", path, SystemReason(errno));
    }
}

}  // namespace

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
        Fail("cannot write", path, SystemReason(errno));
    }
    if (!out.commit()) {
        Fail("cannot write", path, out.errorString());
    }
    // Makes the rename itself durable. Best effort: the new file is already complete.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace ini_detail
