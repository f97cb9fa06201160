#include "settings/ini_file.h"

#include <windows.h>
// The ANSI/Unicode switch of Windows' own ReplaceFile would rename ours.
#undef ReplaceFile

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace ini_detail {

namespace {

// Why this path cannot be the settings file, or empty when it can.
QString NotRegularReason(const QFileInfo& info) {
    if (info.isDir()) {
        return QStringLiteral("it is a folder, not a file");
    }
    if (!info.isFile()) {
        return QStringLiteral("it is a device, not a file");
    }
    return {};
}

// Explorer's "Read-only" and "Hidden" boxes, or a copy from a CD, leave attributes that
// would stop the next save or hide the file from the user who edits it; before every read
// and write the file keeps the archive attribute alone.
void ResetAttributes(const QString& path) {
    const std::wstring native = QFileInfo(path).absoluteFilePath().toStdWString();
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes != FILE_ATTRIBUTE_ARCHIVE) {
        ::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_ARCHIVE);
    }
}

void WriteAll(QFileDevice& file, const QString& path, const QByteArray& text) {
    if (file.write(text) != text.size()) {
        Fail("cannot write", path, file.errorString());
    }
}

// For a folder that refuses new files while the file itself may be written: the text is
// written over the old one and the rest cut off.
void RewriteInPlace(const QString& path, const QByteArray& text) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        Fail("cannot write", path, file.errorString());
    }
    WriteAll(file, path, text);
    if (!file.resize(text.size()) || !file.flush()) {
        Fail("cannot write", path, file.errorString());
    }
}

}  // namespace

// Only a regular file of sane size is ever read; a device name such as COM1 or NUL would
// otherwise be opened and read from.
QByteArray LoadFile(const QString& path, Missing missing) {
    QFileInfo info(path);
    if (!info.exists() && !info.isSymLink() && missing == Missing::Refuse) {
        Fail("cannot open", path, QStringLiteral("no such file"));
    }
    if (!info.exists() && !info.isSymLink()) {
        QFile created(path);
        // Someone else may have created it since the check; it is checked below like any file.
        if (!created.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFileInfo::exists(path)) {
            Fail("cannot create", path, created.errorString());
        }
        info.refresh();
    }
    if (const QString why = NotRegularReason(info); !why.isEmpty()) {
        Fail("cannot read", path, why);
    }
    ResetAttributes(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Fail("cannot open", path, file.errorString());
    }
    // One byte more than allowed, so a file that grew since the check is still refused.
    const QByteArray text = file.read(kMaxFileBytes + 1);
    if (text.size() > kMaxFileBytes) {
        Fail("cannot read", path,
             QStringLiteral("it is larger than %1 KiB").arg(kMaxFileBytes / 1024));
    }
    if (file.error() != QFileDevice::NoError) {
        Fail("cannot read", path, file.errorString());
    }
    return text;
}

// QSaveFile writes beside the file and replaces it with one rename (MoveFileEx), so the
// old text stays unless the new one is complete.
void ReplaceFile(const QString& path, const QByteArray& text) {
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        RewriteInPlace(path, text);
        return;
    }
    WriteAll(out, path, text);
    if (!out.commit()) {
        Fail("cannot write", path, out.errorString());
    }
}

}  // namespace ini_detail
