#pragma once

#include <QObject>
#include <cstdint>
#include <vector>

class QSocketNotifier;
struct epoll_event;

// Told what the kernel reported for a watched descriptor (EPOLLIN, EPOLLOUT, EPOLLERR...).
class SocketHubClient {
public:
    virtual void onSocketEvents(std::uint32_t events) = 0;

protected:
    ~SocketHubClient() = default;
};

// Every connection of a thread in one epoll set, watched by the event loop through a single
// notifier. Qt's dispatchers walk all their notifiers on every wake-up, so with 32 links
// each arriving piece paid for 32 descriptors; here it pays for the one that is ready.
// Level-triggered: what a client leaves unhandled is reported again on the next pass.
class SocketHub : public QObject {
public:
    // The hub of the calling thread, created on first use.
    static SocketHub& forThread();

    // False when the kernel refuses the descriptor (a regular file, one already closed).
    bool watch(int fd, SocketHubClient* client, std::uint32_t events);
    void modify(int fd, std::uint32_t events);
    void unwatch(int fd);

    int epollDescriptor() const { return epollFd_; }
    // Hands what epoll_wait reported to the clients still watching.
    void deliver(const epoll_event* events, int count);

    ~SocketHub() override;

private:
    explicit SocketHub(bool withNotifier);
    void dispatch();

    struct Entry {
        SocketHubClient* client = nullptr;
        std::uint32_t serial = 0;
    };
    int epollFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    // Indexed by descriptor. The serial tells a reused descriptor number from the one an
    // already fetched event was meant for.
    std::vector<Entry> entries_;
    std::uint32_t nextSerial_ = 1;
};
