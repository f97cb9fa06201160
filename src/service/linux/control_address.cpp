#include "service/control_address.h"

#include <QDir>

// A service instance's socket is in its runtime folder, a desktop user's in theirs.
namespace control_address {

QString forBridge(QString* why) {
    // systemd may list several runtime folders, separated by ':'; the unit's first is ours.
    const QString runtime =
        qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!runtime.isEmpty()) {
        return QDir(runtime).filePath(QStringLiteral("control"));
    }
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty()) {
        return QDir(xdg).filePath(QStringLiteral("poskavelin/control"));
    }
    *why = QStringLiteral("neither RUNTIME_DIRECTORY nor XDG_RUNTIME_DIR is set");
    return QString();
}

QString forClient(const QString& instance, QString* why) {
    if (!instance.isEmpty()) {
        return QStringLiteral("/run/poskavelin/%1/control").arg(instance);
    }
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) {
        *why = QStringLiteral("XDG_RUNTIME_DIR is not set; name the instance to ask");
        return QString();
    }
    return QDir(runtime).filePath(QStringLiteral("poskavelin/control"));
}

// An instance name is one folder name beneath /run/poskavelin, never a way out of it.
bool isInstanceName(const QString& word) {
    return !word.isEmpty() && !word.startsWith(QLatin1Char('-')) &&
           !word.contains(QLatin1Char('/')) && word != QLatin1String(".") &&
           word != QLatin1String("..");
}

const char* instanceHelp() {
    return "INSTANCE names the service poskavelin@INSTANCE; without it, your own desktop bridge.\n";
}

QString accessHint(const QString& instance) {
    return instance.isEmpty() ? QString()
                              : QStringLiteral(" (members of the group poskavelin may ask)");
}

}  // namespace control_address
