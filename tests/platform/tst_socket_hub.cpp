#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include "platform/linux/socket_hub.h"

namespace {

struct Counter : SocketHubClient {
    int events = 0;
    void onSocketEvents(std::uint32_t) override { ++events; }
};

}  // namespace

// Registrations belong to the client that made them, whatever a descriptor number is
// reused for later.
class TestSocketHub : public QObject {
    Q_OBJECT
private slots:
    void aReusedDescriptorIsNotTheFormerOwnersToChange() {
        SocketHub& hub = SocketHub::forThread();
        Counter former, current;
        int first[2], second[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, first) == 0);
        QVERIFY(hub.watch(first[0], &former, EPOLLIN));
        // Closed without unwatching, as a stale notifier leaves it; the number comes back.
        ::close(first[0]);
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, second) == 0);
        QCOMPARE(second[0], first[0]);
        QVERIFY(hub.watch(second[0], &current, EPOLLIN));

        QVERIFY(!hub.modify(second[0], &former, EPOLLOUT));
        hub.unwatch(second[0], &former);
        QVERIFY(hub.owns(second[0], &current));
        QVERIFY(::write(second[1], "x", 1) == 1);
        QTRY_VERIFY_WITH_TIMEOUT(current.events > 0, 2000);
        QCOMPARE(former.events, 0);

        hub.unwatch(second[0], &current);
        QVERIFY(!hub.owns(second[0], &current));
        for (int fd : {first[1], second[0], second[1]}) {
            ::close(fd);
        }
    }

    void aDescriptorTheKernelRefusesIsReportedNotIgnored() {
        QTemporaryFile file;
        QVERIFY(file.open());
        Counter client;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot watch socket"));
        QVERIFY(!SocketHub::forThread().watch(int(file.handle()), &client, EPOLLIN));
        QVERIFY(!SocketHub::forThread().owns(int(file.handle()), &client));
    }
};

QTEST_MAIN(TestSocketHub)
#include "tst_socket_hub.moc"
