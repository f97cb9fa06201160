#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPointer>
#include <QSysInfo>
#include <cstring>

#include "app/frmKavelin.h"
#include "platform/printers.h"
#include "service/control_server.h"
#include "service/event_log.h"
#include "service/stop_signals.h"
#include "service/systemd_notify.h"

namespace {

// A hidden bridge often runs as a service with no desktop at all, or inherits a DISPLAY
// whose server is long gone; either way it must start, on the offscreen platform. Qt tries
// the platforms of a ';' list in order and takes the first that comes up.
void choosePlatform() {
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        return;  // chosen by whoever started us
    }
    // Windows' own platform comes up in every session, a service's included.
    if (QSysInfo::kernelType() == QLatin1String("winnt")) {
        return;
    }
    QByteArray platforms;
    if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) {
        platforms += "wayland;";
    }
    if (qEnvironmentVariableIsSet("DISPLAY")) {
        platforms += "xcb;";
    }
    qputenv("QT_QPA_PLATFORM", platforms + "offscreen");
}

}  // namespace

int main(int argc, char* argv[]) {
    // Sockets are written with MSG_NOSIGNAL, but stderr may be a pipe (`| tee`, a
    // supervisor's log pipe) whose reader can go away, and its SIGPIPE would end the bridge
    // where a failed write costs only a log line. Set before the first line, not left to
    // a library's set-up.
    ignoreBrokenPipe();
    choosePlatform();
    // Qt's own poll loop instead of glib's: every wake-up of the bridge is a piece to
    // forward, and glib's prepare, query and check passes cost each piece about 8 % more
    // instructions. Set here, before the application exists, whatever the environment says.
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(frmKavelin::kAppTitle);
    // Hidden mode has no visible window; only Form_Unload ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const QDir folder(QCoreApplication::applicationDirPath());
    event_log::install(folder.filePath("PosKavelin.log"));
    qCInfo(lcService, "started in %s (pid %lld, %s platform)", qUtf8Printable(folder.path()),
           qint64(::getpid()), qUtf8Printable(QGuiApplication::platformName()));

    const QString iniPath = folder.filePath("PosKavelin.ini");
    const bool canShow = QGuiApplication::platformName() != QLatin1String("offscreen");

    QPointer<frmKavelin> window;
    MessageBoxFn messageBox = [&window, canShow](const QString& text, const QString& title,
                                                 MsgIcon icon) {
        // Also in the log, for the hidden bridge whose boxes nobody sees.
        qCWarning(
            lcService, "message \"%s\": %s", qUtf8Printable(title),
            qUtf8Printable(text.trimmed().replace(QLatin1String("\r\n"), QLatin1String(" "))));
        if (!canShow) {
            return;  // nobody could ever press OK
        }
        auto* box = new QMessageBox(
            icon == MsgIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon, title, text,
            QMessageBox::Ok, window && window->isVisible() ? window.data() : nullptr);
        box->setAttribute(Qt::WA_DeleteOnClose);
        if (window && window->isVisible()) {
            box->exec();
        } else {
            // A hidden bridge must not stop and wait for a click nobody can see coming.
            box->show();
        }
    };

    StopSignals stopSignals;
    SystemdNotify systemd;
    SystemPrinterServices printers;
    frmKavelin form(
        iniPath, messageBox, [] { return QTime::currentTime(); }, &printers);
    window = &form;

    QObject::connect(&stopSignals, &StopSignals::stopRequested, &form, [&form](int number) {
        qCInfo(lcService, "stopping on SIG%s", signalName(number));
        form.Form_Unload();
    });
    // SIGHUP and poskavelinctl reload alike; systemd hears of both.
    const auto reloadBridge = [&form, &systemd](bool* ok) {
        systemd.reloading();
        const QString result = form.Reload(ok);
        systemd.reloaded(form.StatusLine());
        return result;
    };
    QObject::connect(&stopSignals, &StopSignals::reloadRequested, &form, [reloadBridge] {
        qCInfo(lcService, "reloading on SIGHUP");
        bool ok = false;
        reloadBridge(&ok);
    });
    QObject::connect(&form, &frmKavelin::unloading, &systemd, &SystemdNotify::stopping);
    QObject::connect(
        &form, &frmKavelin::unloaded, &app,
        [] {
            qCInfo(lcService, "stopped");
            QCoreApplication::exit(0);
        },
        Qt::QueuedConnection);
    if (systemd.enabled()) {
        QObject::connect(&form, &frmKavelin::bridgeChanged, &systemd,
                         [&form, &systemd] { systemd.status(form.StatusLine()); });
    }

    form.Form_Load();
    ControlServer control([&form] { return form.Snapshot(); }, reloadBridge);
    control.listen(ControlServer::defaultPath());
    systemd.status(form.StatusLine());
    systemd.ready();
    return app.exec();
}
