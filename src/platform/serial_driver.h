#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "printer_line/printer_keys.h"

// The device half of a serial line: platform/linux/serial_driver.cpp drives it with Qt
// Serial Port, platform/windows/serial_driver.cpp with the Windows communications calls, and
// CMake builds one of them. SerialLine above it keeps what is the same everywhere: the
// retrying, the log lines and the bound on queued bytes.
//
// A driver calls back from the event loop only, never from inside one of its own calls.
// A callback may destroy the driver, so none touches it afterwards.
class SerialDriver : public QObject {
public:
    struct Events {
        // Bytes as they arrive, in pieces of at most the read size given to open().
        std::function<void(const QByteArray&)> arrived;
        // The open device went away or failed for good; the driver has closed it.
        std::function<void(const QString& reason)> lost;
        std::function<void(qint64 bytes)> written;
    };

    ~SerialDriver() override = default;

    // Opens `settings.port` with its framing, flow and speed. `readOnly` opens it for reading
    // only. On failure, false with the system's reason.
    virtual bool open(const SerialSettings& settings, bool readOnly, qint64 readSize,
                      QString* reason) = 0;
    // Closes at once; what was queued is dropped.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Whether the open device is still there: a pulled adapter is not always reported by an
    // error before the next write. False (with why) when it is gone.
    virtual bool stillThere(QString* reason) = 0;
    virtual void write(const QByteArray& bytes) = 0;
    virtual qint64 bytesToWrite() const = 0;
    // While paused, nothing more is read: the device's own buffer fills and its flow control
    // holds the sender back.
    virtual void setReadingPaused(bool paused) = 0;
};

std::unique_ptr<SerialDriver> makeSerialDriver(SerialDriver::Events events);
