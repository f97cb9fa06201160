#pragma once

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <filesystem>
#include <functional>

// Process-wide measurements and event-loop helpers shared by the fault tests.
namespace faults {

// Runs the event loop until `done` holds or `timeoutMs` passes. Unlike QTRY_* and
// qWaitFor it does not sleep between checks, so a thousand short waits stay short.
inline bool pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) {
        return true;
    }
    QElapsedTimer clock;
    clock.start();
    // Wakes the blocking wait below, so the time bound holds when nothing else happens.
    QTimer wake;
    wake.start(5);
    constexpr int kMaxRounds = 1'000'000;
    for (int round = 0; round < kMaxRounds && clock.elapsed() < timeoutMs; ++round) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        // deleteLater() from inside these events only runs here; leaked-looking
        // sockets would otherwise linger until the test function returns.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done()) {
            return true;
        }
    }
    return done();
}

// Open descriptors of this process, sockets included.
inline int openDescriptors() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end;
         !error && it != end && count < 1'000'000; it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

// Resident set size of this process in bytes.
inline qint64 residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

// User plus system CPU time of this process, all threads, in milliseconds.
inline double cpuMilliseconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return double(t.tv_sec) * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Ends the connection with a reset instead of a FIN, as a terminal losing power would.
inline void resetConnection(QAbstractSocket& socket) {
    const linger hard{1, 0};
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket.abort();
}

}  // namespace faults
