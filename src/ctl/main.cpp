#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStringList>
#include <cstdio>

#include "service/control_address.h"
#include "settings/settings_reader.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;
// A reply is a table of 16 rows or their metrics; anything far beyond is not a bridge's.
constexpr qsizetype kMaxReply = 1 << 20;

QByteArray usageText() {
    return QByteArray(
               "usage: poskavelinctl status [INSTANCE] [--json]\n"
               "       poskavelinctl reload [INSTANCE]\n"
               "       poskavelinctl metrics [INSTANCE]\n"
               "       poskavelinctl check FILE\n") +
           control_address::instanceHelp();
}

void print(std::FILE* stream, const QByteArray& text) {
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
    std::fflush(stream);
}

int fail(const QString& why) {
    print(stderr, "poskavelinctl: " + why.toLocal8Bit() + '\n');
    return kFailure;
}

int usage(const QString& why) {
    print(stderr, "poskavelinctl: " + why.toLocal8Bit() + '\n' + usageText());
    return kUsage;
}

QString connectFailure(const QLocalSocket& socket, const QString& path, const QString& instance) {
    switch (socket.error()) {
        case QLocalSocket::ServerNotFoundError:
            return QStringLiteral("no bridge is running: %1 does not exist").arg(path);
        case QLocalSocket::ConnectionRefusedError:
            return QStringLiteral("no bridge is running at %1 (connection refused)").arg(path);
        case QLocalSocket::SocketAccessError:
            return QStringLiteral("permission denied for %1%2")
                .arg(path, control_address::accessHint(instance));
        case QLocalSocket::SocketTimeoutError:
            return QStringLiteral("the bridge at %1 does not answer").arg(path);
        default:
            return QStringLiteral("cannot connect to %1 (%2)").arg(path, socket.errorString());
    }
}

// Sends one command line and prints the bridge's answer, which it ends by closing.
int ask(const QString& instance, const QByteArray& command, int timeoutMs) {
    QString why;
    const QString path = control_address::forClient(instance, &why);
    if (path.isEmpty()) {
        return fail(why);
    }
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(2000)) {
        return fail(connectFailure(socket, path, instance));
    }
    socket.write(command + '\n');
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray reply;
    for (;;) {
        reply += socket.readAll();
        if (reply.size() > kMaxReply) {
            return fail(QStringLiteral("the answer from %1 is too long").arg(path));
        }
        if (socket.state() != QLocalSocket::ConnectedState) {
            reply += socket.readAll();
            break;
        }
        if (deadline.hasExpired()) {
            return fail(
                QStringLiteral("no answer from %1 within %2 s").arg(path).arg(timeoutMs / 1000));
        }
        socket.waitForReadyRead(int(deadline.remainingTime()));
    }
    if (reply.isEmpty()) {
        return fail(QStringLiteral("the bridge at %1 closed without an answer").arg(path));
    }
    if (reply.startsWith("error: ")) {
        print(stderr, "poskavelinctl: " + reply.mid(7));
        return kFailure;
    }
    print(stdout, reply);
    return 0;
}

// The bridge's own reader, so a file passes here exactly when a reload would take it, and
// the warnings are the ones start-up and a reload log.
int check(const QString& file) {
    Settings settings;
    const std::optional<SettingsProblem> problem = checkSettingsFile(file, &settings);
    for (const QString& warning : std::as_const(settings.warnings)) {
        print(stderr, "warning: " + warning.toLocal8Bit() + '\n');
    }
    if (problem) {
        print(stderr, problem->text().toLocal8Bit() + '\n');
        return kFailure;
    }
    print(stdout, "ok\n");
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        return usage(QStringLiteral("a command is needed"));
    }
    const QString command = args.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        print(stdout, usageText());
        return 0;
    }
    if (command == QLatin1String("check")) {
        if (args.size() != 1) {
            return usage(QStringLiteral("check takes one settings file"));
        }
        return check(args.first());
    }
    const bool json =
        command == QLatin1String("status") && args.removeAll(QStringLiteral("--json")) > 0;
    if (args.size() > 1 || (args.size() == 1 && !control_address::isInstanceName(args.first()))) {
        return usage(QStringLiteral("unexpected \"%1\"").arg(args.join(QLatin1Char(' '))));
    }
    const QString instance = args.value(0);
    if (command == QLatin1String("status")) {
        return ask(instance, json ? "status --json" : "status", 5000);
    }
    if (command == QLatin1String("metrics")) {
        return ask(instance, "metrics", 5000);
    }
    if (command == QLatin1String("reload")) {
        // The bridge answers once the new settings are in effect, or refused.
        return ask(instance, "reload", 60000);
    }
    return usage(QStringLiteral("unknown command \"%1\"").arg(command));
}
