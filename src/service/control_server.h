#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "service/bridge_snapshot.h"

class QLocalServer;
class QLocalSocket;

// The local socket poskavelinctl talks to. A client sends one line, "status",
// "status --json", "metrics" or "reload", gets its answer and is closed; anything else, a
// line longer than kMaxLine or a client silent for 2 s is dropped. Apart from
// reload it only reads the snapshot, which carries no receipt text.
class ControlServer : public QObject {
    Q_OBJECT
public:
    using SnapshotFn = std::function<BridgeSnapshot()>;
    // Runs on the event loop and returns one line for the client; *ok false marks a refusal.
    using ReloadFn = std::function<QString(bool* ok)>;

    static constexpr int kMaxLine = 256;

    ControlServer(SnapshotFn snapshot, ReloadFn reload, QObject* parent = nullptr);
    ~ControlServer() override;

    // $RUNTIME_DIRECTORY/control for a systemd instance, else
    // $XDG_RUNTIME_DIR/poskavelin/control; empty when neither is set.
    static QString defaultPath();

    // Listens at path, removing a stale socket left there. A path that another bridge still
    // answers on, or that cannot be listened on, gets one warning and false: the bridge goes
    // on without a control socket.
    bool listen(const QString& path);

private:
    void accept();
    void read(QLocalSocket* client, QByteArray* line);
    QByteArray answer(const QByteArray& command);
    void finish(QLocalSocket* client, const QByteArray& reply);

    SnapshotFn snapshot_;
    ReloadFn reload_;
    QLocalServer* server_ = nullptr;
    int clients_ = 0;
};
