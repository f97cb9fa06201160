#pragma once

#include <QAbstractEventDispatcher>
#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

class SocketHub;

// The event loop of the main thread when it runs without a display, on the SocketHub's own
// epoll set: a piece wakes one epoll_wait that names its connection, instead of a poll
// whose notifier then asks the hub's set again. Qt's own loop also walks its whole
// notifier table and timer list on every wake-up; for a bridge whose every wake-up is a
// piece, that was most of the time a piece spent in the program.
//
// It keeps what Qt's loop promises: posted events first, then sockets, then timers, each
// event on this thread one at a time; nested loops (a modal box) go on serving everything
// but the timer whose handler opened them; wakeUp() from any thread.
class EpollDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    // Null when this Qt does not let the offscreen platform's own events be delivered from
    // outside its loop; Qt's loop is then the one to use. Call before the application exists.
    static EpollDispatcher* createForOffscreen();
    ~EpollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

protected:
    void connectNotify(const QMetaMethod& signal) override;
    void disconnectNotify(const QMetaMethod& signal) override;

private:
    using WindowSystemEventsFn = bool (*)(QEventLoop::ProcessEventsFlags);
    class NotifierSet;
    class Waker;
    struct Timer {
        int id;
        qint64 intervalMs;
        Qt::TimerType type;
        QObject* object;
        qint64 deadlineNs;
        std::uint64_t serial;  // tells a re-registered id from the one a pass saw due
        bool firing;
    };

    explicit EpollDispatcher(WindowSystemEventsFn windowSystemEvents);
    // Nanoseconds until the next timer may fire; -1 when none can.
    qint64 nextTimerInNs(qint64 now) const;
    bool activateTimers();
    std::vector<Timer>::iterator findTimer(int id);
    int wait(qint64 timeoutNs, bool withSockets);

    WindowSystemEventsFn windowSystemEvents_;
    // Deleted last: the clients below unwatch through it.
    std::unique_ptr<SocketHub> hub_;
    std::unique_ptr<Waker> waker_;
    std::unordered_map<int, std::unique_ptr<NotifierSet>> notifiers_;
    std::vector<Timer> timers_;
    std::uint64_t nextTimerSerial_ = 1;
    std::atomic<bool> interrupted_{false};
    // Receivers of awake() and aboutToBlock(); with none, as usual, they are not emitted.
    std::atomic<int> passSignalReceivers_{0};
    // Qt's queues of posted and of window system events are only looked at when something
    // may wait in them: every post and every queued window event calls wakeUp(), and a
    // nested loop may leave behind deferred deletes or the window events it had to skip.
    // Looking every time cost each piece a lock and a detour through two libraries.
    bool postedMayWait_ = true;
    bool windowEventsMayWait_ = true;
    int depth_ = 0;
};
