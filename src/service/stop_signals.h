#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM and SIGINT become a stop request on the event loop, and SIGHUP a reload request
// (as daemons take it), by Qt's pattern for Unix signals: the handler only writes the
// signal's number into a socket pair, and a socket notifier reads it between other events.
// A second stop signal while the stop is under way ends the process at once, from the
// handler, in case the loop itself is stuck; SIGHUP never does.
class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void stopRequested(int signalNumber);
    // Several SIGHUPs that arrive before the loop gets to them are one reload.
    void reloadRequested();

private:
    void readSignal();

    QSocketNotifier* notifier_ = nullptr;
};

// A write to a pipe whose reader is gone fails instead of ending the process.
void ignoreBrokenPipe();
// "TERM" for the number stopRequested carries for SIGTERM, and so on.
const char* signalName(int number);
