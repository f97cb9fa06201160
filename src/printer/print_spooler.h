#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "platform/printer_services.h"

class QThread;
class QTimer;

// Prints forwarded pieces on a worker thread, one job each, in the order they were
// queued, so that a slow, hung or unreachable print server never holds up the event
// loop and with it every channel's forwarding.
//
// A piece whose job fails, or that is not handed to the server within kHandOverMs of
// being queued, is a print failure of its channel: printFailed(channel, reason) is emitted once,
// from the event loop, and the channel's other waiting pieces are dropped with it (a job
// of that channel already under way is withdrawn before its hand-over). Nothing failed
// is printed later.
class PrintSpooler : public QObject {
    Q_OBJECT
public:
    static constexpr int kHandOverMs = 5000;
    // What may wait for the printer: a receipt burst fits many times over, a flood
    // into a dead printer does not grow memory.
    static constexpr qsizetype kMaxWaitingPieces = 1000;
    static constexpr qsizetype kMaxWaitingBytes = 1024 * 1024;

    explicit PrintSpooler(QObject* parent = nullptr);
    // Drops what waits, abandons the job under way and waits for it to return, which a
    // job does at once when told (within 25 ms for CUPS, 250 ms while it connects).
    // Destroy the spooler before the application object: its jobs may use QtGui.
    ~PrintSpooler() override;

    // Queues a job of `bytes` bytes for `channel`. False when the queue is full: the job
    // is not queued, the channel's waiting ones are dropped, and the caller reports the
    // failure itself, at once.
    bool enqueue(int channel, PrintJob job, qsizetype bytes);

signals:
    void printFailed(int channel, const QString& reason);

private:
    struct Shared;
    void expireOverdue();
    void armWatchdog();
    void reportFailure(int channel, const QString& reason);

    std::unique_ptr<Shared> shared_;
    QThread* worker_ = nullptr;
    QTimer* watchdog_ = nullptr;
};
