#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP become a stop request on the event loop, by Qt's pattern for
// Unix signals: the handler only writes the signal's number into a socket pair, and a
// socket notifier reads it between other events. A second signal while the stop is under
// way ends the process at once, from the handler, in case the loop itself is stuck.
class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void stopRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* notifier_ = nullptr;
};
