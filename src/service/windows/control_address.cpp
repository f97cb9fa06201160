#include "service/control_address.h"

#include <lmcons.h>
#include <windows.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

// Windows has no runtime folder, and a bridge's settings live beside the program, so each
// program folder runs its own bridge: the pipe is named by the user and by that folder,
// \\.\pipe\poskavelin-<user>-<12 hex digits of SHA-256 of the folder's path, lower case>.
// poskavelinctl.exe, installed beside poskavelin.exe, finds it from its own folder.
namespace {

QString userName() {
    wchar_t name[UNLEN + 1];
    DWORD size = UNLEN + 1;
    if (::GetUserNameW(name, &size) && size > 0) {
        return QString::fromWCharArray(name, int(size) - 1);
    }
    return qEnvironmentVariable("USERNAME");
}

QString pipeFor(const QString& folder) {
    // One folder, however it is spelt: Windows' paths ignore case, and a link leads to
    // the folder it names.
    const QFileInfo info(folder);
    const QString path = info.canonicalFilePath().isEmpty()
                             ? QDir::cleanPath(info.absoluteFilePath())
                             : info.canonicalFilePath();
    const QByteArray hash =
        QCryptographicHash::hash(QDir::toNativeSeparators(path).toLower().toUtf8(),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(12);
    return QStringLiteral("\\\\.\\pipe\\poskavelin-%1-%2").arg(userName(), QLatin1String(hash));
}

}  // namespace

namespace control_address {

QString forBridge(QString*) {
    return pipeFor(QCoreApplication::applicationDirPath());
}

QString forClient(const QString& instance, QString*) {
    return pipeFor(instance.isEmpty() ? QCoreApplication::applicationDirPath() : instance);
}

bool isInstanceName(const QString& word) {
    return !word.isEmpty() && !word.startsWith(QLatin1Char('-'));
}

const char* instanceHelp() {
    return "INSTANCE is the folder of the bridge to ask; without it, the bridge in "
           "poskavelinctl's own folder.\n";
}

QString accessHint(const QString&) {
    return QStringLiteral(" (only the user who started that bridge may ask)");
}

}  // namespace control_address
