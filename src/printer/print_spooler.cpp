#include "printer/print_spooler.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>
#include <deque>

namespace {

struct Piece {
    int channel = 0;
    PrintJob job;
    qsizetype bytes = 0;
    QDeadlineTimer deadline;
};

}  // namespace

// Everything the worker and the event loop share.
struct PrintSpooler::Shared {
    QMutex mutex;
    QWaitCondition wake;
    std::deque<Piece> waiting;
    qsizetype waitingBytes = 0;
    // The piece the worker is on; channel 0 when idle.
    int printingChannel = 0;
    QDeadlineTimer printingDeadline;
    bool printingWithdrawn = false;
    bool printingHandedOver = false;
    // Channels with a failure declared whose report has not run yet.
    QSet<int> failing;
    bool stopping = false;

    void dropLocked(int channel) {
        std::erase_if(waiting, [&](const Piece& piece) {
            if (piece.channel != channel)
                return false;
            waitingBytes -= piece.bytes;
            return true;
        });
        if (printingChannel == channel && !printingHandedOver)
            printingWithdrawn = true;
    }
    // True when this is the channel's first failure since its last report, which the
    // caller must then post.
    bool declareLocked(int channel) {
        dropLocked(channel);
        if (stopping || failing.contains(channel))
            return false;
        failing.insert(channel);
        return true;
    }
    // Asked by the job while it waits on the print server.
    bool abandoned() {
        const QMutexLocker lock(&mutex);
        return printingWithdrawn;
    }
    // Asked by the job right before its hand-over; after a yes the watchdog leaves it
    // to finish, as the server may already hold the document.
    bool mayHandOver() {
        const QMutexLocker lock(&mutex);
        if (printingWithdrawn || printingDeadline.hasExpired())
            return false;
        printingHandedOver = true;
        return true;
    }
};

PrintSpooler::PrintSpooler(QObject* parent)
    : QObject(parent), shared_(std::make_unique<Shared>()), watchdog_(new QTimer(this)) {
    watchdog_->setSingleShot(true);
    // A coarse timer may fire a quarter of a second late on a five-second wait.
    watchdog_->setTimerType(Qt::PreciseTimer);
    connect(watchdog_, &QTimer::timeout, this, &PrintSpooler::expireOverdue);

    worker_ = QThread::create([&s = *shared_, self = this] {
        for (;;) {
            Piece piece;
            {
                const QMutexLocker lock(&s.mutex);
                while (s.waiting.empty() && !s.stopping) s.wake.wait(&s.mutex);
                if (s.stopping)
                    return;
                piece = std::move(s.waiting.front());
                s.waiting.pop_front();
                s.waitingBytes -= piece.bytes;
                s.printingChannel = piece.channel;
                s.printingDeadline = piece.deadline;
                s.printingWithdrawn = false;
                s.printingHandedOver = false;
            }
            bool printed = true;
            QString reason;
            try {
                piece.job({piece.deadline, [&s] { return s.mayHandOver(); },
                           [&s] { return s.abandoned(); }});
            } catch (const std::exception& e) {
                printed = false;
                reason = QString::fromLocal8Bit(e.what());
            } catch (...) {
                printed = false;
                reason = QStringLiteral("unknown error");
            }
            const QMutexLocker lock(&s.mutex);
            const bool declare = !printed && !s.printingWithdrawn;
            s.printingChannel = 0;
            // Under the lock and only while not stopping, so `self` is still alive.
            if (declare && s.declareLocked(piece.channel))
                QMetaObject::invokeMethod(
                    self,
                    [self, channel = piece.channel, reason] {
                        self->reportFailure(channel, reason);
                    },
                    Qt::QueuedConnection);
        }
    });
}

PrintSpooler::~PrintSpooler() {
    {
        const QMutexLocker lock(&shared_->mutex);
        shared_->stopping = true;
        shared_->waiting.clear();
        shared_->printingWithdrawn = true;
        shared_->wake.wakeAll();
    }
    // A job may be laying a page out with QtGui, which must not outlive the application
    // object that usually goes right after this. Left running, it would; so the worker is
    // joined, which is short because the job gives up within one slice of its wait once
    // it sees the withdrawal. (Rendering on the event loop instead would put the few
    // milliseconds of layout, and the paper query before it, in every channel's way.)
    worker_->wait();
    delete worker_;
}

bool PrintSpooler::enqueue(int channel, PrintJob job, qsizetype bytes) {
    {
        const QMutexLocker lock(&shared_->mutex);
        if (qsizetype(shared_->waiting.size()) >= kMaxWaitingPieces ||
            shared_->waitingBytes + bytes > kMaxWaitingBytes) {
            shared_->dropLocked(channel);
            return false;
        }
        shared_->waiting.push_back(
            {channel, std::move(job), bytes, QDeadlineTimer(kHandOverMs, Qt::PreciseTimer)});
        shared_->waitingBytes += bytes;
        shared_->wake.wakeOne();
    }
    // Started by the first piece: with printing off the bridge stays one thread, and the C
    // library skips the cancellation bookkeeping of every socket call.
    if (!worker_->isRunning() && !worker_->isFinished())
        worker_->start();
    if (!watchdog_->isActive())
        armWatchdog();
    return true;
}

void PrintSpooler::expireOverdue() {
    QList<int> failed;
    {
        Shared& s = *shared_;
        const QMutexLocker lock(&s.mutex);
        if (s.printingChannel != 0 && !s.printingWithdrawn && !s.printingHandedOver &&
            s.printingDeadline.hasExpired() && s.declareLocked(s.printingChannel))
            failed.append(s.printingChannel);
        // Deadlines grow along the queue; declaring drops the front piece's channel.
        while (!s.waiting.empty() && s.waiting.front().deadline.hasExpired()) {
            const int channel = s.waiting.front().channel;
            if (s.declareLocked(channel))
                failed.append(channel);
        }
    }
    armWatchdog();
    for (int channel : failed)
        reportFailure(
            channel,
            QStringLiteral("not handed to the print server within %1 s").arg(kHandOverMs / 1000));
}

void PrintSpooler::armWatchdog() {
    QDeadlineTimer next = QDeadlineTimer::Forever;
    {
        const Shared& s = *shared_;
        const QMutexLocker lock(&shared_->mutex);
        // The piece being printed was queued before every waiting one.
        if (s.printingChannel != 0 && !s.printingWithdrawn && !s.printingHandedOver)
            next = s.printingDeadline;
        else if (!s.waiting.empty())
            next = s.waiting.front().deadline;
    }
    if (next.isForever())
        watchdog_->stop();
    else
        watchdog_->start(int(next.remainingTime()));
}

void PrintSpooler::reportFailure(int channel, const QString& reason) {
    {
        const QMutexLocker lock(&shared_->mutex);
        // Pieces queued between the failure and now are the channel's too.
        shared_->dropLocked(channel);
        shared_->failing.remove(channel);
    }
    emit printFailed(channel, reason);
}
