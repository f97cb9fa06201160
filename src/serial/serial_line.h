#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

#include "printer_line/printer_keys.h"

Q_DECLARE_LOGGING_CATEGORY(lcSerial)

// One serial line of a channel (a terminal on POS_SERIAL, or a serial receipt printer),
// kept open for as long as it is started: a line that cannot be opened, or that goes away
// under it (a USB adapter pulled, the device file gone), is tried again every second until
// it is back or stop() is called. The failure is logged once when it starts and once when
// it ends, never per attempt.
//
// Everything is non-blocking. Reading is bounded by kReadBufferSize: while reading is
// paused the line's own flow control (RTS/CTS or XON/XOFF, when set) holds the sender
// back once that much is waiting. Writing is bounded by kWriteLimit queued bytes, so a
// relay can stop reading its other side while bytesToWrite() is high and carry on at
// bytesWritten().
//
// In tap mode (a receive-only Y-cable) the line is opened for reading only and write()
// refuses everything, so the bridge can never disturb the till and printer it listens to.
//
// The device itself is driven by the platform's SerialDriver.
class SerialDriver;

class SerialLine : public QObject {
    Q_OBJECT

public:
    enum class Mode { kReadWrite, kTap };

    static constexpr int kRetryMs = 1000;
    static constexpr qint64 kReadBufferSize = 64 * 1024;
    static constexpr qint64 kWriteLimit = 64 * 1024;

    // `channel` names the row in log lines (1 to 16).
    SerialLine(int channel, const SerialSettings& settings, Mode mode, QObject* parent = nullptr);
    ~SerialLine() override;

    const SerialSettings& settings() const { return settings_; }
    Mode mode() const { return mode_; }
    bool isOpen() const;

    // Opens the line now and keeps it open from then on; a second call does nothing.
    void start();
    // Closes the line and stops retrying. What was queued and not yet sent is dropped.
    void stop();

    // Queues `bytes` for the line, whole or not at all: false (nothing queued) in tap
    // mode, while the line is not open, or when it would take bytesToWrite() past
    // kWriteLimit.
    bool write(const QByteArray& bytes);
    qint64 bytesToWrite() const;

    // While paused, arrived bytes wait (up to kReadBufferSize) instead of being handed on.
    void setReadingPaused(bool paused);

signals:
    void opened();
    // Bytes as they arrive, in pieces of at most kReadBufferSize.
    void bytesArrived(const QByteArray& bytes);
    // The line is not usable: the first failed attempt of a run to open it, or the open
    // line went away. Retrying has begun.
    void vanished(const QString& reason);
    void bytesWritten(qint64 bytes);

private:
    void tryOpen();
    void checkDevice();
    void lose(const QString& reason);
    QString where() const;

    const int channel_;
    const SerialSettings settings_;
    const Mode mode_;
    const std::unique_ptr<SerialDriver> driver_;
    QTimer retry_;
    QTimer deviceCheck_;
    bool started_ = false;
    bool failing_ = false;
    int failedAttempts_ = 0;
    QElapsedTimer failingFor_;
};
