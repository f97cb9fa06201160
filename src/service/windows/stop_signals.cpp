#include "service/stop_signals.h"

#include <windows.h>

#include <QPointer>
#include <atomic>
#include <csignal>

#include "service/windows/session_end.h"

namespace {

// The console's events arrive on a thread of their own; the stop is queued to the loop.
QPointer<StopSignals> target;

// What began the stop. A second console event cuts a console stop short, as a second
// signal does on Linux; the stop for the session's end is never cut short by one, since a
// console closing as the user logs off is part of that same end.
enum class StopBy { Nobody, Console, Session };
std::atomic<StopBy> stopping = StopBy::Nobody;

// Nobody when this call begins the stop, otherwise what began it.
StopBy beginStop(StopBy by) {
    StopBy earlier = StopBy::Nobody;
    stopping.compare_exchange_strong(earlier, by);
    return earlier;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    // Ctrl+C and Ctrl+Break are a user's interrupt; closing the console, logging off and
    // shutting down are the system's request to end, as SIGTERM is on Linux. (A process
    // with windows is told of logging off and shutting down through them instead, by
    // SessionEnd.)
    const int number = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    const StopBy earlier = beginStop(StopBy::Console);
    if (earlier == StopBy::Console) {
        ::ExitProcess(UINT(128 + number));
    }
    if (earlier == StopBy::Nobody) {
        StopSignals* stopSignals = target.data();
        if (!stopSignals) {
            return FALSE;
        }
        QMetaObject::invokeMethod(
            stopSignals, [stopSignals, number] { emit stopSignals->stopRequested(number); },
            Qt::QueuedConnection);
    }
    if (number == SIGTERM) {
        // Windows ends the process as soon as this returns; waiting here gives the stop the
        // few seconds Windows allows, and the process ends when the stop is done.
        ::Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    target = this;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    new SessionEnd(
        [this] {
            // A stop the console began already is waited for, not begun again.
            if (beginStop(StopBy::Session) == StopBy::Nobody) {
                emit stopRequested(SIGTERM);
            }
        },
        this);
}

StopSignals::~StopSignals() {
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

void ignoreBrokenPipe() {
    // A write to a closed pipe fails with an error on Windows; no signal ends the process.
}

const char* signalName(int number) {
    return number == SIGINT ? "INT" : "TERM";
}
