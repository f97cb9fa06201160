#include "platform/linux/socket_hub.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>

#include "platform/linux/native.h"

Q_LOGGING_CATEGORY(lcSocket, "poskavelin.socket")

namespace {

// Enough for all 32 links of the window and their lingering predecessors in one pass.
constexpr int kEventsPerPass = 64;

thread_local QPointer<SocketHub> hubOfThread;

// Takes the dispatcher's event itself: the activated() signal it would otherwise emit costs
// every piece a pass through the signal machinery for a single, fixed receiver.
class HubNotifier : public QSocketNotifier {
public:
    HubNotifier(int fd, std::function<void()> onReady, QObject* parent)
        : QSocketNotifier(fd, QSocketNotifier::Read, parent), onReady_(std::move(onReady)) {}

protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::SockAct) {
            onReady_();
            return true;
        }
        return QSocketNotifier::event(e);
    }

private:
    std::function<void()> onReady_;
};

std::uint64_t tag(int fd, std::uint32_t serial) {
    return (std::uint64_t(serial) << 32) | std::uint32_t(fd);
}

}  // namespace

SocketHub& SocketHub::forThread() {
    if (!hubOfThread) {
        hubOfThread = new SocketHub();
        hubOfThread->setParent(QCoreApplication::instance());
    }
    return *hubOfThread;
}

SocketHub::SocketHub() {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_create1");
    }
    notifier_ = new HubNotifier(
        epollFd_, [this] { dispatch(); }, this);
}

SocketHub::~SocketHub() {
    delete notifier_;
    ::close(epollFd_);
}

bool SocketHub::watch(int fd, SocketHubClient* client, std::uint32_t events) {
    const std::uint32_t serial = nextSerial_++;
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag(fd, serial);
    if (fd < 0 || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        qCWarning(lcSocket, "cannot watch socket %d (%s)", fd,
                  fd < 0 ? "no socket" : std::strerror(errno));
        return false;
    }
    if (size_t(fd) >= entries_.size()) {
        entries_.resize(size_t(fd) + 1);
    }
    entries_[size_t(fd)] = Entry{client, serial};
    return true;
}

bool SocketHub::owns(int fd, const SocketHubClient* client) const {
    return fd >= 0 && size_t(fd) < entries_.size() && client &&
           entries_[size_t(fd)].client == client;
}

bool SocketHub::modify(int fd, SocketHubClient* client, std::uint32_t events) {
    if (!owns(fd, client)) {
        return false;
    }
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag(fd, entries_[size_t(fd)].serial);
    if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) != 0) {
        qCWarning(lcSocket, "cannot change what socket %d is watched for (%s)", fd,
                  std::strerror(errno));
        return false;
    }
    return true;
}

void SocketHub::unwatch(int fd, SocketHubClient* client) {
    if (!owns(fd, client)) {
        return;
    }
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    entries_[size_t(fd)] = Entry{};
}

void SocketHub::dispatch() {
    epoll_event events[kEventsPerPass];
    const int count = ::epoll_wait(epollFd_, events, kEventsPerPass, 0);
    for (int i = 0; i < count; ++i) {
        const std::uint64_t t = events[i].data.u64;
        const size_t fd = std::uint32_t(t);
        // A client handled earlier in this pass may have closed this descriptor, and a new
        // connection may already have its number.
        if (fd >= entries_.size() || entries_[fd].serial != std::uint32_t(t >> 32) ||
            !entries_[fd].client) {
            continue;
        }
        entries_[fd].client->onSocketEvents(events[i].events);
    }
}
