#pragma once

#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <functional>

#include "service/bridge_snapshot.h"

// The local socket poskavelinctl talks to: a socket file on Linux, a named pipe on Windows
// (see service/control_address.h). A client sends one line, "status", "status --json",
// "metrics" or "reload", gets its answer and is closed; anything else, a line longer than
// kMaxLine or a client silent for 2 s is dropped. Apart from reload it only reads the
// snapshot, which carries no receipt text. What a system makes different (where the socket
// is, who may reach it, what is left of an earlier bridge) is in service/linux and
// service/windows; the protocol is shared.
class ControlServer : public QObject {
    Q_OBJECT
public:
    using SnapshotFn = std::function<BridgeSnapshot()>;
    // Runs on the event loop and returns one line for the client; *ok false marks a refusal.
    using ReloadFn = std::function<QString(bool* ok)>;

    static constexpr int kMaxLine = 256;

    ControlServer(SnapshotFn snapshot, ReloadFn reload, QObject* parent = nullptr);
    ~ControlServer() override;

    // On Linux $RUNTIME_DIRECTORY/control for a systemd instance, else
    // $XDG_RUNTIME_DIR/poskavelin/control, empty when neither is set; on Windows the pipe of
    // this user and the program's folder.
    static QString defaultPath();

    // Listens at path (Linux: removing a stale socket left there). A path that another bridge
    // still answers on, or that cannot be listened on, gets one warning and false: the bridge
    // goes on without a control socket.
    bool listen(const QString& path);

private:
    // Whether a bridge answers at `name`; `gone` is the error that says none does.
    static bool answered(const QString& name, QLocalSocket::LocalSocketError gone);
    // Listens at `name`, or says why not once.
    bool serve(const QString& name, QLocalServer::SocketOptions options);
    void accept();
    void read(QLocalSocket* client, QByteArray* line);
    QByteArray answer(const QByteArray& command);
    void finish(QLocalSocket* client, const QByteArray& reply);

    SnapshotFn snapshot_;
    ReloadFn reload_;
    QLocalServer* server_ = nullptr;
    int clients_ = 0;
};
