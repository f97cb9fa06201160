#include "platform/serial_driver.h"

#include <QFileInfo>
#include <QPointer>
#include <QSerialPort>
#include <QTimer>

namespace {

QSerialPort::DataBits dataBitsOf(SerialSettings::DataBits bits) {
    switch (bits) {
        case SerialSettings::DataBits::k5:
            return QSerialPort::Data5;
        case SerialSettings::DataBits::k6:
            return QSerialPort::Data6;
        case SerialSettings::DataBits::k7:
            return QSerialPort::Data7;
        case SerialSettings::DataBits::k8:
            break;
    }
    return QSerialPort::Data8;
}

QSerialPort::Parity parityOf(SerialSettings::Parity parity) {
    switch (parity) {
        case SerialSettings::Parity::kEven:
            return QSerialPort::EvenParity;
        case SerialSettings::Parity::kOdd:
            return QSerialPort::OddParity;
        case SerialSettings::Parity::kMark:
            return QSerialPort::MarkParity;
        case SerialSettings::Parity::kSpace:
            return QSerialPort::SpaceParity;
        case SerialSettings::Parity::kNone:
            break;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits stopBitsOf(SerialSettings::StopBits bits) {
    switch (bits) {
        case SerialSettings::StopBits::kOneAndHalf:
            return QSerialPort::OneAndHalfStop;
        case SerialSettings::StopBits::kTwo:
            return QSerialPort::TwoStop;
        case SerialSettings::StopBits::kOne:
            break;
    }
    return QSerialPort::OneStop;
}

QSerialPort::FlowControl flowOf(SerialSettings::Flow flow) {
    switch (flow) {
        case SerialSettings::Flow::kRtsCts:
            return QSerialPort::HardwareControl;
        case SerialSettings::Flow::kXonXoff:
            return QSerialPort::SoftwareControl;
        case SerialSettings::Flow::kNone:
            break;
    }
    return QSerialPort::NoFlowControl;
}

class QtSerialDriver final : public SerialDriver {
public:
    explicit QtSerialDriver(Events events) : events_(std::move(events)) {
        connect(&port_, &QSerialPort::readyRead, this, &QtSerialDriver::readAvailable);
        connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialDriver::onError);
        connect(&port_, &QSerialPort::bytesWritten, this,
                [this](qint64 bytes) { events_.written(bytes); });
    }

    bool open(const SerialSettings& settings, bool readOnly, qint64 readSize,
              QString* reason) override {
        port_.setPortName(settings.port);
        port_.setReadBufferSize(readSize);
        port_.setBaudRate(settings.baud);
        port_.setDataBits(dataBitsOf(settings.dataBits));
        port_.setParity(parityOf(settings.parity));
        port_.setStopBits(stopBitsOf(settings.stopBits));
        port_.setFlowControl(flowOf(settings.flow));
        if (!port_.open(readOnly ? QIODevice::ReadOnly : QIODevice::ReadWrite)) {
            *reason = port_.errorString();
            port_.clearError();
            return false;
        }
        readSize_ = readSize;
        // Bytes that were waiting in the device before it was opened are not announced by
        // readyRead on every platform.
        QTimer::singleShot(0, this, &QtSerialDriver::readAvailable);
        return true;
    }

    void close() override {
        if (port_.isOpen()) {
            port_.close();
        }
        port_.clearError();
    }

    bool isOpen() const override { return port_.isOpen(); }

    bool stillThere(QString* reason) override {
        // A device file that goes away is the sure sign; a line given by another kind of
        // name is taken at its errors' word.
        if (QFileInfo(port_.portName()).isAbsolute() && !QFileInfo::exists(port_.portName())) {
            *reason = QStringLiteral("the device is gone");
            return false;
        }
        return true;
    }

    void write(const QByteArray& bytes) override { port_.write(bytes); }

    qint64 bytesToWrite() const override { return port_.bytesToWrite(); }

    void setReadingPaused(bool paused) override {
        paused_ = paused;
        if (!paused) {
            QTimer::singleShot(0, this, &QtSerialDriver::readAvailable);
        }
    }

private:
    void readAvailable() {
        const QPointer<SerialDriver> alive(this);
        while (alive && !paused_ && port_.isOpen() && port_.bytesAvailable() > 0) {
            const QByteArray bytes = port_.read(readSize_);
            if (bytes.isEmpty()) {
                return;
            }
            events_.arrived(bytes);
        }
    }

    void onError(QSerialPort::SerialPortError error) {
        // Errors of an open line that mean the device is gone; a parity or framing error is
        // one bad byte and leaves the line as it is, and open failures are open()'s.
        if (!port_.isOpen() ||
            (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
             error != QSerialPort::WriteError)) {
            return;
        }
        const QString reason = port_.errorString();
        // Closing from inside the port's own error signal is safe: QSerialPort only clears
        // its notifiers, and the port object itself lives on for the next attempt.
        close();
        events_.lost(reason);
    }

    const Events events_;
    QSerialPort port_;
    qint64 readSize_ = 0;
    bool paused_ = false;
};

}  // namespace

std::unique_ptr<SerialDriver> makeSerialDriver(SerialDriver::Events events) {
    return std::make_unique<QtSerialDriver>(std::move(events));
}
