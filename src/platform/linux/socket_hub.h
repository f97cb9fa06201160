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

// Every socket of a thread in one epoll set, watched by Qt's event loop through a single
// notifier. Qt's dispatcher walks all its notifiers on every wake-up, so with 32 links each
// arriving piece paid for 32 descriptors; here it pays for the one that is ready.
// Level-triggered: what a client leaves unhandled is reported again on the next pass.
//
// A registration belongs to the client that made it. A descriptor number is reused as soon
// as it is closed, so a client that lets its descriptor go can neither change nor remove the
// registration of whoever holds that number now.
class SocketHub : public QObject {
public:
    // The hub of the calling thread, created on first use.
    static SocketHub& forThread();

    // False, logged with the kernel's reason, when the descriptor cannot be watched (a
    // regular file, one already closed, no memory); the caller then takes its error path.
    bool watch(int fd, SocketHubClient* client, std::uint32_t events);
    // False when the client does not own fd's registration or the kernel refuses.
    bool modify(int fd, SocketHubClient* client, std::uint32_t events);
    // Only the owner's registration is removed; for anyone else this does nothing.
    void unwatch(int fd, SocketHubClient* client);
    bool owns(int fd, const SocketHubClient* client) const;

    ~SocketHub() override;

private:
    SocketHub();
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
