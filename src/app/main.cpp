#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPointer>
#include <cstdio>

#include "app/frmKavelin.h"
#include "platform/cups_printer.h"

namespace {

bool hasDisplay() {
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char* argv[]) {
    // A hidden bridge often runs as a service with no desktop at all.
    if (!hasDisplay() && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(frmKavelin::kAppTitle);
    // Hidden mode has no visible window; only Form_Unload ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const QString iniPath = QDir(QCoreApplication::applicationDirPath()).filePath("PosKavelin.ini");
    const bool canShow = QGuiApplication::platformName() != QLatin1String("offscreen");

    QPointer<frmKavelin> window;
    MessageBoxFn messageBox = [&window, canShow](const QString& text, const QString& title,
                                                 MsgIcon icon) {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(title), qUtf8Printable(text));
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

    CupsPrinterServices printers;
    frmKavelin form(
        iniPath, messageBox, [] { return QTime::currentTime(); }, &printers);
    window = &form;
    form.Form_Load();
    return app.exec();
}
