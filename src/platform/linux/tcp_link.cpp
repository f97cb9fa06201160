#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QPointer>
#include <QTimer>
#include <cerrno>
#include <deque>

#include "platform/linux/native.h"
#include "platform/linux/socket_hub.h"
#include "platform/linux/socket_options.h"

namespace {

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

int lingering = 0;

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// A connection as one descriptor in the thread's hub: one read into the caller's buffer,
// one sendmsg per piece, and a queue only for what the kernel did not take at once.
class LinuxTcpLink : public TcpLink, private SocketHubClient {
public:
    LinuxTcpLink(int fd, Role role) : fd_(fd), hub_(&SocketHub::forThread()) {
        // Lives on its own while it hands over after close(); the hub dies with the
        // application, and so does a hand-over still under way then.
        setParent(hub_);
        if (role == Role::Dialled) {
            socket_options::sendAtOnce(fd_);
        }
        socket_options::detectDeadPeer(fd_, role == Role::Dialled);
    }

    ~LinuxTcpLink() override {
        if (handingOver_) {
            --lingering;
        }
        closeDescriptor();
    }

    void setEvents(TcpLinkEvents* events) override { events_ = events; }

    void setReading(bool on) override {
        if (on == reading_) {
            return;  // the usual case on every piece: decided before anything else
        }
        reading_ = on;
        updateInterest();
    }

    qsizetype receive(char* into, qsizetype capacity, QString* why) override {
        const ssize_t n = ::recv(fd_, into, size_t(capacity), MSG_DONTWAIT);
        if (n >= 0) {
            return n;
        }
        if (wouldBlock(errno)) {
            return kNothingYet;
        }
        *why = socket_options::errorText(errno);
        return kBroken;
    }

    void send(QByteArrayView first, QByteArrayView second) override {
        if (fd_ < 0 || broken_) {
            throw SocketError("socket is not connected");
        }
        // Straight to the kernel while nothing waits before it; both parts in one call, so a
        // line costs one system call and no copy.
        size_t sent = 0;
        if (queue_.empty()) {
            iovec parts[2] = {{const_cast<char*>(first.data()), size_t(first.size())},
                              {const_cast<char*>(second.data()), size_t(second.size())}};
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = second.isEmpty() ? 1 : 2;
            const ssize_t n = ::sendmsg(fd_, &message, kSendFlags);
            if (n < 0 && !wouldBlock(errno)) {
                throw SocketError(socket_options::errorText(errno).toStdString());
            }
            sent = n > 0 ? size_t(n) : 0;
            if (sent == size_t(first.size() + second.size())) {
                return;  // nothing queued before or after
            }
        }
        // What the kernel did not take waits here, behind nothing, in order.
        for (QByteArrayView part : {first, second}) {
            const size_t skip = std::min(sent, size_t(part.size()));
            sent -= skip;
            if (skip < size_t(part.size())) {
                queue_.emplace_back(part.sliced(qsizetype(skip)).toByteArray());
                queuedBytes_ += part.size() - qsizetype(skip);
            }
        }
        updateInterest();
    }

    qint64 queuedBytes() const override { return queuedBytes_; }

    void shutdownWhenSent() override {
        if (queue_.empty()) {
            ::shutdown(fd_, SHUT_WR);
        } else {
            finWhenSent_ = true;
        }
    }

    void close(bool flush) override {
        events_ = nullptr;
        reading_ = false;
        if (!flush || queue_.empty() || broken_ || fd_ < 0) {
            // What the kernel already holds still goes out, then FIN; unread bytes make it a
            // reset.
            closeDescriptor();
            deleteLater();
            return;
        }
        // An orderly close: what is queued still goes out, then FIN; the bound is for a peer
        // that never takes the rest.
        handingOver_ = true;
        ++lingering;
        finWhenSent_ = true;
        updateInterest();
        QTimer::singleShot(kLingerBoundMs, this, [this] { finishHandOver(); });
    }

    QHostAddress peerAddress(quint16* port) const override {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
            return {};
        }
        return native::fromSockaddr(peer, port);
    }

private:
    void onSocketEvents(std::uint32_t events) override {
        // Errors and hang-ups are reported even unasked; without a reader they are a
        // writer's to find.
        if (events & EPOLLOUT || ((events & (EPOLLERR | EPOLLHUP)) && !reading_)) {
            flush();
            if (fd_ < 0 || broken_) {
                return;
            }
        }
        if (reading_ && (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) && events_) {
            events_->linkReadable();
        }
    }

    void flush() {
        qint64 sent = 0;
        while (!queue_.empty()) {
            const QByteArray& front = queue_.front();
            const ssize_t n = ::send(fd_, front.constData() + offset_,
                                     size_t(front.size() - offset_), kSendFlags);
            if (n < 0) {
                if (wouldBlock(errno)) {
                    break;
                }
                fail(socket_options::errorText(errno));
                return;
            }
            sent += n;
            offset_ += n;
            if (offset_ < front.size()) {
                break;
            }
            queue_.pop_front();
            offset_ = 0;
        }
        queuedBytes_ -= sent;
        if (queue_.empty() && finWhenSent_) {
            finWhenSent_ = false;
            ::shutdown(fd_, SHUT_WR);
            if (handingOver_) {
                finishHandOver();
                return;
            }
        }
        updateInterest();
        if (sent > 0 && events_) {
            events_->linkWritten(sent);
        }
    }

    // Out of the set altogether when nothing is wanted, as the kernel reports a hang-up even
    // to a descriptor watched for nothing.
    void updateInterest() {
        if (fd_ < 0 || broken_) {
            return;
        }
        const std::uint32_t wanted = (reading_ ? std::uint32_t(EPOLLIN) : 0) |
                                     (queue_.empty() ? 0 : std::uint32_t(EPOLLOUT));
        if (wanted == interest_ || !hub_) {
            return;
        }
        bool ok = true;
        if (interest_ == 0) {
            ok = hub_->watch(fd_, this, wanted);
        } else if (wanted == 0) {
            hub_->unwatch(fd_, this);
        } else {
            ok = hub_->modify(fd_, this, wanted);
        }
        interest_ = ok ? wanted : 0;
        if (!ok) {
            // Never reported from inside the call that asked: the owner may be mid-way.
            QTimer::singleShot(0, this,
                               [this] { fail(QStringLiteral("cannot watch the socket")); });
        }
    }

    void fail(const QString& reason) {
        if (broken_) {
            return;
        }
        broken_ = true;
        if (handingOver_) {
            finishHandOver();
            return;
        }
        if (hub_ && interest_ != 0) {
            hub_->unwatch(fd_, this);
        }
        interest_ = 0;
        if (events_) {
            events_->linkBroken(reason);
        }
    }

    void finishHandOver() {
        closeDescriptor();
        deleteLater();
    }

    void closeDescriptor() {
        if (fd_ < 0) {
            return;
        }
        if (hub_ && interest_ != 0) {
            hub_->unwatch(fd_, this);
        }
        interest_ = 0;
        ::close(std::exchange(fd_, -1));
    }

    int fd_;
    QPointer<SocketHub> hub_;
    TcpLinkEvents* events_ = nullptr;
    bool reading_ = false;
    std::uint32_t interest_ = 0;  // what the hub watches fd_ for; 0: not in the hub
    bool broken_ = false;
    bool finWhenSent_ = false;
    bool handingOver_ = false;
    // What the kernel did not take yet, in call order; the front one from offset_ on.
    std::deque<QByteArray> queue_;
    qsizetype offset_ = 0;
    qint64 queuedBytes_ = 0;
};

}  // namespace

int lingeringLinks() {
    return lingering;
}

TcpLink* native::adoptLink(int fd, TcpLink::Role role) {
    return new LinuxTcpLink(fd, role);
}
