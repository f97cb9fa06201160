#include "service/stop_signals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace {

int signalPipe[2] = {-1, -1};
volatile sig_atomic_t stopping = 0;

constexpr int kHandled[] = {SIGTERM, SIGINT, SIGHUP};

// Async-signal-safe only: a flag, write() and _exit().
void onSignal(int number) {
    if (number != SIGHUP) {
        if (stopping) {
            _exit(128 + number);
        }
        stopping = 1;
    }
    const unsigned char byte = static_cast<unsigned char>(number);
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        return;  // signals then keep their default action: the process ends at once
    }
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StopSignals::readSignal);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: no part of the program has to expect EINTR because of us.
    action.sa_flags = SA_RESTART;
    for (int number : kHandled) {
        ::sigaction(number, &action, nullptr);
    }
}

StopSignals::~StopSignals() {
    for (int number : kHandled) {
        ::signal(number, SIG_DFL);
    }
}

void StopSignals::readSignal() {
    unsigned char bytes[64];
    const ssize_t n = ::read(signalPipe[0], bytes, sizeof bytes);
    bool reload = false;
    for (ssize_t i = 0; i < n; ++i) {
        if (bytes[i] == SIGHUP) {
            reload = true;
        } else {
            emit stopRequested(bytes[i]);
            return;
        }
    }
    if (reload) {
        emit reloadRequested();
    }
}

void ignoreBrokenPipe() {
    ::signal(SIGPIPE, SIG_IGN);
}

const char* signalName(int number) {
    const char* name = sigabbrev_np(number);
    return name ? name : "?";
}
