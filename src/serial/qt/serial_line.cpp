#include "serial/serial_line.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

Q_LOGGING_CATEGORY(lcSerial, "poskavelin.serial")

namespace {

QString span(qint64 ms) {
    const qint64 seconds = ms / 1000;
    return seconds < 60 ? QStringLiteral("%1 s").arg(seconds)
                        : QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

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

}  // namespace

struct SerialLine::Driver {
    explicit Driver(SerialLine& owner) : line(owner) {}

    void tryOpen();
    void readAvailable();
    void onError(QSerialPort::SerialPortError error);
    void checkDevice();
    void lose(const QString& reason);
    QString where() const;

    SerialLine& line;
    QSerialPort port;
    QTimer retry;
    // A pulled adapter does not always report an error before the next read: the device
    // file going away is noticed by looking.
    QTimer deviceCheck;
    bool started = false;
    bool paused = false;
    bool failing = false;
    int failedAttempts = 0;
    QElapsedTimer failingFor;
};

SerialLine::SerialLine(int channel, const SerialSettings& settings, Mode mode, QObject* parent)
    : QObject(parent),
      channel_(channel),
      settings_(settings),
      mode_(mode),
      driver_(std::make_unique<Driver>(*this)) {
    Driver* d = driver_.get();
    d->port.setPortName(settings_.port);
    d->port.setReadBufferSize(kReadBufferSize);
    d->retry.setInterval(kRetryMs);
    d->deviceCheck.setInterval(kRetryMs);
    // Each connection's context is the object that sends it, so none outlives the driver.
    connect(&d->retry, &QTimer::timeout, &d->retry, [d] { d->tryOpen(); });
    connect(&d->deviceCheck, &QTimer::timeout, &d->deviceCheck, [d] { d->checkDevice(); });
    connect(&d->port, &QSerialPort::readyRead, &d->port, [d] { d->readAvailable(); });
    connect(&d->port, &QSerialPort::errorOccurred, &d->port,
            [d](QSerialPort::SerialPortError error) { d->onError(error); });
    connect(&d->port, &QSerialPort::bytesWritten, this, &SerialLine::bytesWritten);
}

SerialLine::~SerialLine() {
    stop();
}

bool SerialLine::isOpen() const {
    return driver_->port.isOpen();
}

QString SerialLine::Driver::where() const {
    return QStringLiteral("channel %1: serial line %2").arg(line.channel_).arg(line.settings_.port);
}

void SerialLine::start() {
    if (driver_->started) {
        return;
    }
    driver_->started = true;
    driver_->tryOpen();
}

void SerialLine::stop() {
    driver_->started = false;
    driver_->retry.stop();
    driver_->deviceCheck.stop();
    if (driver_->port.isOpen()) {
        driver_->port.close();
    }
}

void SerialLine::Driver::tryOpen() {
    if (!started || port.isOpen()) {
        return;
    }
    const SerialSettings& settings = line.settings_;
    port.setBaudRate(settings.baud);
    port.setDataBits(dataBitsOf(settings.dataBits));
    port.setParity(parityOf(settings.parity));
    port.setStopBits(stopBitsOf(settings.stopBits));
    port.setFlowControl(flowOf(settings.flow));
    const QIODevice::OpenMode openMode =
        line.mode_ == Mode::kTap ? QIODevice::ReadOnly : QIODevice::ReadWrite;
    if (!port.open(openMode)) {
        const QString reason = port.errorString();
        port.clearError();
        ++failedAttempts;
        if (!failing) {
            failing = true;
            failingFor.start();
            qCWarning(lcSerial).noquote()
                << where() << "cannot be opened (" + reason + "); retrying every second";
            emit line.vanished(reason);
        }
        retry.start();
        return;
    }
    retry.stop();
    if (failing) {
        qCInfo(lcSerial).noquote() << where()
                                   << QStringLiteral("back after %1 failed %2 in %3")
                                          .arg(failedAttempts)
                                          .arg(failedAttempts == 1 ? "attempt" : "attempts")
                                          .arg(span(failingFor.elapsed()));
    } else {
        qCInfo(lcSerial).noquote() << where() << "open";
    }
    failing = false;
    failedAttempts = 0;
    if (QFileInfo(settings.port).isAbsolute()) {
        deviceCheck.start();
    }
    emit line.opened();
    // Bytes that were waiting in the device before it was opened are not announced by
    // readyRead on every platform.
    QTimer::singleShot(0, &port, [this] { readAvailable(); });
}

void SerialLine::Driver::readAvailable() {
    while (!paused && port.isOpen() && port.bytesAvailable() > 0) {
        const QByteArray bytes = port.read(kReadBufferSize);
        if (bytes.isEmpty()) {
            return;
        }
        emit line.bytesArrived(bytes);
    }
}

void SerialLine::setReadingPaused(bool paused) {
    driver_->paused = paused;
    if (!paused) {
        QTimer::singleShot(0, &driver_->port, [d = driver_.get()] { d->readAvailable(); });
    }
}

bool SerialLine::write(const QByteArray& bytes) {
    QSerialPort& port = driver_->port;
    if (mode_ == Mode::kTap || !port.isOpen() || port.bytesToWrite() + bytes.size() > kWriteLimit) {
        return false;
    }
    return port.write(bytes) == bytes.size();
}

qint64 SerialLine::bytesToWrite() const {
    return driver_->port.isOpen() ? driver_->port.bytesToWrite() : 0;
}

void SerialLine::Driver::onError(QSerialPort::SerialPortError error) {
    // Errors of an open line that mean the device is gone; a parity or framing error is
    // one bad byte and leaves the line as it is, and open failures are tryOpen()'s.
    if (!port.isOpen() || (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
                           error != QSerialPort::WriteError)) {
        return;
    }
    lose(port.errorString());
}

void SerialLine::Driver::checkDevice() {
    if (port.isOpen() && !QFileInfo::exists(line.settings_.port)) {
        lose(QStringLiteral("the device is gone"));
    }
}

void SerialLine::Driver::lose(const QString& reason) {
    // Closing from inside the port's own error signal is safe: QSerialPort only clears its
    // notifiers, and the port object itself lives on for the next attempt.
    port.close();
    port.clearError();
    deviceCheck.stop();
    if (!started) {
        return;
    }
    failing = true;
    failedAttempts = 0;
    failingFor.start();
    qCWarning(lcSerial).noquote() << where() << "gone (" + reason + "); retrying every second";
    emit line.vanished(reason);
    retry.start();
}
