#include "service/stop_signals.h"

#include <windows.h>

#include <QPointer>
#include <atomic>
#include <csignal>

namespace {

// The console's events arrive on a thread of their own; the stop is queued to the loop.
QPointer<StopSignals> target;
std::atomic<bool> stopping = false;

BOOL WINAPI onConsoleEvent(DWORD event) {
    // Ctrl+C and Ctrl+Break are a user's interrupt; closing the console, logging off and
    // shutting down are the system's request to end, as SIGTERM is on Linux.
    const int number = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    if (stopping.exchange(true)) {
        ::ExitProcess(UINT(128 + number));
    }
    StopSignals* stopSignals = target.data();
    if (!stopSignals) {
        return FALSE;
    }
    QMetaObject::invokeMethod(
        stopSignals, [stopSignals, number] { emit stopSignals->stopRequested(number); },
        Qt::QueuedConnection);
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
