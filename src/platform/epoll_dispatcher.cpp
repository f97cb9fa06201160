#include "platform/epoll_dispatcher.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaMethod>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>
#include <utility>

#include "platform/socket_hub.h"
#include "platform/vector_state.h"

namespace {

// All 32 links and their lingering predecessors, the listening ports and the loop's own few
// descriptors in one pass.
constexpr int kEventsPerPass = 96;
constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kNsPerSecond = 1000000000;

// CLOCK_MONOTONIC, as Qt's timers use.
qint64 nowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

}  // namespace

// The notifiers of one descriptor, watched in the hub for what any of them wants.
class EpollDispatcher::NotifierSet : public SocketHubClient {
public:
    NotifierSet(int fd, SocketHub& hub) : fd_(fd), hub_(hub) {}
    ~NotifierSet() {
        if (watched_ != 0) {
            hub_.unwatch(fd_);
        }
    }

    QSocketNotifier*& operator[](QSocketNotifier::Type type) { return of_[type]; }

    void update() {
        const std::uint32_t wanted =
            (of_[QSocketNotifier::Read] ? std::uint32_t(EPOLLIN) : 0) |
            (of_[QSocketNotifier::Write] ? std::uint32_t(EPOLLOUT) : 0) |
            (of_[QSocketNotifier::Exception] ? std::uint32_t(EPOLLPRI) : 0);
        if (wanted == watched_) {
            return;
        }
        if (watched_ == 0) {
            if (!hub_.watch(fd_, this, wanted)) {
                // A regular file or a closed descriptor: Qt's poll loop warns too.
                qWarning("EpollDispatcher: cannot watch descriptor %d", fd_);
                return;
            }
        } else if (wanted == 0) {
            hub_.unwatch(fd_);
        } else {
            hub_.modify(fd_, wanted);
        }
        watched_ = wanted;
    }

private:
    void onSocketEvents(std::uint32_t events) override {
        // As Qt's poll loop reads them: a hang-up or an error wakes every kind of notifier.
        constexpr std::uint32_t kEnd = EPOLLHUP | EPOLLERR;
        const std::pair<QSocketNotifier::Type, std::uint32_t> kinds[] = {
            {QSocketNotifier::Read, EPOLLIN | kEnd},
            {QSocketNotifier::Write, EPOLLOUT | kEnd},
            {QSocketNotifier::Exception, EPOLLPRI | kEnd},
        };
        for (const auto& [type, mask] : kinds) {
            // Looked up again each time: the previous handler may have removed this one.
            if ((events & mask) && of_[type]) {
                QEvent event(QEvent::SockAct);
                QCoreApplication::sendEvent(of_[type], &event);
            }
        }
    }

    int fd_;
    SocketHub& hub_;
    QSocketNotifier* of_[3] = {};
    std::uint32_t watched_ = 0;
};

// An eventfd in the hub, written by wakeUp() from any thread. Written once until the loop
// has seen it, as a post per piece from the print worker would otherwise cost a write each.
class EpollDispatcher::Waker : public SocketHubClient {
public:
    Waker(SocketHub& hub, EpollDispatcher& owner)
        : hub_(hub), owner_(owner), fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "eventfd");
        }
        hub_.watch(fd_, this, EPOLLIN);
    }
    ~Waker() {
        hub_.unwatch(fd_);
        ::close(fd_);
    }

    void wake() {
        if (!pending_.exchange(true, std::memory_order_acq_rel)) {
            ::eventfd_write(fd_, 1);
        }
    }
    int descriptor() const { return fd_; }

    // Reset before the loop looks for posted events again, so none posted after it is missed.
    void onSocketEvents(std::uint32_t) override {
        eventfd_t count = 0;
        ::eventfd_read(fd_, &count);
        pending_.store(false, std::memory_order_release);
        owner_.postedMayWait_ = true;
        owner_.windowEventsMayWait_ = true;
    }

private:
    SocketHub& hub_;
    EpollDispatcher& owner_;
    int fd_;
    std::atomic<bool> pending_{false};
};

EpollDispatcher* EpollDispatcher::createForOffscreen() {
    // The offscreen platform queues its window events (expose, geometry, activation) for
    // the loop to deliver, through this function that QtGui exports for platform plugins'
    // loops. It is not public API, so it is looked up rather than linked: a Qt without it
    // keeps its own loop and still starts.
    auto* deliver = reinterpret_cast<WindowSystemEventsFn>(
        ::dlsym(RTLD_DEFAULT,
                "_ZN22QWindowSystemInterface22sendWindowSystemEventsE6QFlagsIN10QEventLoop"
                "17ProcessEventsFlagEE"));
    return deliver ? new EpollDispatcher(deliver) : nullptr;
}

EpollDispatcher::EpollDispatcher(WindowSystemEventsFn windowSystemEvents)
    : windowSystemEvents_(windowSystemEvents),
      hub_(SocketHub::createWaitedOn()),
      waker_(std::make_unique<Waker>(*hub_, *this)) {}

EpollDispatcher::~EpollDispatcher() = default;

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    interrupted_.store(false, std::memory_order_relaxed);
    const bool passSignals = passSignalReceivers_.load(std::memory_order_relaxed) > 0;
    if (passSignals) {
        emit awake();
    }
    ++depth_;
    if (postedMayWait_) {
        // Cleared first: what the handlers post sets it again, through wakeUp().
        postedMayWait_ = false;
        QCoreApplication::sendPostedEvents();
    }

    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool canWait =
        (flags & QEventLoop::WaitForMoreEvents) && !interrupted_.load(std::memory_order_relaxed);
    if (canWait && passSignals) {
        emit aboutToBlock();
    }
    bool handled = false;
    if (!interrupted_.load(std::memory_order_relaxed)) {
        qint64 timeoutNs = 0;
        if (canWait) {
            timeoutNs = withTimers && !timers_.empty() ? nextTimerInNs(nowNs()) : -1;
        }
        handled = wait(timeoutNs, !(flags & QEventLoop::ExcludeSocketNotifiers)) > 0;
        if (withTimers) {
            handled = activateTimers() || handled;
        }
        if (windowEventsMayWait_) {
            // Input events a caller asked to skip stay queued for a later pass.
            windowEventsMayWait_ = bool(flags & QEventLoop::ExcludeUserInputEvents);
            handled = windowSystemEvents_(flags) || handled;
        }
    }
    if (--depth_ > 0) {
        // Returning into a handler of an outer pass, which looks at the queues again.
        postedMayWait_ = true;
        windowEventsMayWait_ = true;
    }
    return handled;
}

int EpollDispatcher::wait(qint64 timeoutNs, bool withSockets) {
    clearUpperVectorState();
    timespec timeout{};
    timespec* bound = nullptr;
    if (timeoutNs >= 0) {
        timeout.tv_sec = timeoutNs / kNsPerSecond;
        timeout.tv_nsec = timeoutNs % kNsPerSecond;
        bound = &timeout;
    }
    if (!withSockets) {
        pollfd wakeOnly{waker_->descriptor(), POLLIN, 0};
        const int ready = ::ppoll(&wakeOnly, 1, bound, nullptr);
        if (ready > 0) {
            waker_->onSocketEvents(EPOLLIN);
        }
        return std::max(ready, 0);
    }
    epoll_event events[kEventsPerPass];
    static bool noPwait2 = false;  // kernels before 5.11
    int ready = -1;
    if (!noPwait2) {
        ready = ::epoll_pwait2(hub_->epollDescriptor(), events, kEventsPerPass, bound, nullptr);
        noPwait2 = ready < 0 && errno == ENOSYS;
    }
    if (noPwait2) {
        // Rounded up: waking before the timer is due would only spin.
        const int ms = timeoutNs < 0
                           ? -1
                           : int(std::min<qint64>((timeoutNs + kNsPerMs - 1) / kNsPerMs, INT_MAX));
        ready = ::epoll_wait(hub_->epollDescriptor(), events, kEventsPerPass, ms);
    }
    if (ready > 0) {
        hub_->deliver(events, ready);
    }
    return std::max(ready, 0);  // EINTR: the caller's loop comes round again
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
    const int fd = int(notifier->socket());
    auto& set = notifiers_[fd];
    if (!set) {
        set = std::make_unique<NotifierSet>(fd, *hub_);
    }
    (*set)[notifier->type()] = notifier;
    set->update();
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
    const auto it = notifiers_.find(int(notifier->socket()));
    if (it == notifiers_.end() || (*it->second)[notifier->type()] != notifier) {
        return;
    }
    // The set itself stays: its own event handler may be what is running now.
    (*it->second)[notifier->type()] = nullptr;
    it->second->update();
}

void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                    QObject* object) {
    // Every kind runs to the millisecond: coarse timers may, and none should fire early.
    timers_.push_back({timerId, interval, timerType, object, nowNs() + interval * kNsPerMs,
                       nextTimerSerial_++, false});
}

std::vector<EpollDispatcher::Timer>::iterator EpollDispatcher::findTimer(int id) {
    return std::find_if(timers_.begin(), timers_.end(),
                        [id](const Timer& timer) { return timer.id == id; });
}

bool EpollDispatcher::unregisterTimer(int timerId) {
    const auto it = findTimer(timerId);
    if (it == timers_.end()) {
        return false;
    }
    timers_.erase(it);
    return true;
}

bool EpollDispatcher::unregisterTimers(QObject* object) {
    return std::erase_if(timers_, [object](const Timer& timer) { return timer.object == object; }) >
           0;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(
    QObject* object) const {
    QList<TimerInfo> list;
    for (const Timer& timer : timers_) {
        if (timer.object == object) {
            list.append(TimerInfo(timer.id, int(timer.intervalMs), timer.type));
        }
    }
    return list;
}

int EpollDispatcher::remainingTime(int timerId) {
    const auto it = findTimer(timerId);
    if (it == timers_.end()) {
        return -1;
    }
    return int(std::max<qint64>(0, (it->deadlineNs - nowNs()) / kNsPerMs));
}

qint64 EpollDispatcher::nextTimerInNs(qint64 now) const {
    qint64 next = -1;
    for (const Timer& timer : timers_) {
        // One whose handler is still running (a modal box) cannot fire before it returns.
        if (!timer.firing) {
            const qint64 in = std::max<qint64>(0, timer.deadlineNs - now);
            next = next < 0 ? in : std::min(next, in);
        }
    }
    return next;
}

bool EpollDispatcher::activateTimers() {
    if (timers_.empty()) {
        return false;
    }
    const qint64 now = nowNs();
    struct Due {
        qint64 deadlineNs;
        int id;
        std::uint64_t serial;
    };
    std::vector<Due> due;
    for (const Timer& timer : timers_) {
        if (!timer.firing && timer.deadlineNs <= now) {
            due.push_back({timer.deadlineNs, timer.id, timer.serial});
        }
    }
    std::sort(due.begin(), due.end(),
              [](const Due& a, const Due& b) { return a.deadlineNs < b.deadlineNs; });
    // Each due timer fires once a pass; one started or restarted by a handler of this pass
    // (a new serial) waits for the next.
    for (const Due& entry : due) {
        auto it = findTimer(entry.id);
        if (it == timers_.end() || it->serial != entry.serial || it->firing) {
            continue;
        }
        const qint64 intervalNs = it->intervalMs * kNsPerMs;
        it->deadlineNs += intervalNs;
        if (it->deadlineNs <= now) {
            it->deadlineNs = now + intervalNs;  // missed ones are not made up
        }
        it->firing = true;
        QTimerEvent event(entry.id);
        QCoreApplication::sendEvent(it->object, &event);
        it = findTimer(entry.id);
        if (it != timers_.end() && it->serial == entry.serial) {
            it->firing = false;
        }
    }
    return !due.empty();
}

void EpollDispatcher::connectNotify(const QMetaMethod& signal) {
    if (signal == QMetaMethod::fromSignal(&QAbstractEventDispatcher::awake) ||
        signal == QMetaMethod::fromSignal(&QAbstractEventDispatcher::aboutToBlock)) {
        passSignalReceivers_.fetch_add(1, std::memory_order_relaxed);
    }
}

void EpollDispatcher::disconnectNotify(const QMetaMethod& signal) {
    // An invalid method means "all of them": the count stays, which only costs an emit.
    if (signal == QMetaMethod::fromSignal(&QAbstractEventDispatcher::awake) ||
        signal == QMetaMethod::fromSignal(&QAbstractEventDispatcher::aboutToBlock)) {
        passSignalReceivers_.fetch_sub(1, std::memory_order_relaxed);
    }
}

void EpollDispatcher::wakeUp() {
    waker_->wake();
}

void EpollDispatcher::interrupt() {
    interrupted_.store(true, std::memory_order_relaxed);
    wakeUp();
}
