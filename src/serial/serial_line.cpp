#include "serial/serial_line.h"

#include <QFileInfo>

Q_LOGGING_CATEGORY(lcSerial, "poskavelin.serial")

namespace {

QString span(qint64 ms) {
    const qint64 seconds = ms / 1000;
    return seconds < 60 ? QStringLiteral("%1 s").arg(seconds)
                        : QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

}  // namespace

SerialLine::SerialLine(int channel, const SerialSettings& settings, Mode mode, QObject* parent)
    : QObject(parent), channel_(channel), settings_(settings), mode_(mode) {
    port_.setPortName(settings_.port);
    port_.setReadBufferSize(kReadBufferSize);
    retry_.setInterval(kRetryMs);
    deviceCheck_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, &SerialLine::tryOpen);
    connect(&deviceCheck_, &QTimer::timeout, this, &SerialLine::checkDevice);
    connect(&port_, &QSerialPort::readyRead, this, &SerialLine::readAvailable);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLine::onError);
    connect(&port_, &QSerialPort::bytesWritten, this, &SerialLine::bytesWritten);
}

SerialLine::~SerialLine() {
    stop();
}

QString SerialLine::where() const {
    return QStringLiteral("channel %1: serial line %2").arg(channel_).arg(settings_.port);
}

void SerialLine::start() {
    if (started_) {
        return;
    }
    started_ = true;
    tryOpen();
}

void SerialLine::stop() {
    started_ = false;
    retry_.stop();
    deviceCheck_.stop();
    if (port_.isOpen()) {
        port_.close();
    }
}

void SerialLine::tryOpen() {
    if (!started_ || port_.isOpen()) {
        return;
    }
    port_.setBaudRate(settings_.baud);
    port_.setDataBits(settings_.dataBits);
    port_.setParity(settings_.parity);
    port_.setStopBits(settings_.stopBits);
    port_.setFlowControl(settings_.flow);
    const QIODevice::OpenMode openMode =
        mode_ == Mode::kTap ? QIODevice::ReadOnly : QIODevice::ReadWrite;
    if (!port_.open(openMode)) {
        const QString reason = port_.errorString();
        port_.clearError();
        ++failedAttempts_;
        if (!failing_) {
            failing_ = true;
            failingFor_.start();
            qCWarning(lcSerial).noquote()
                << where() << "cannot be opened (" + reason + "); retrying every second";
            emit vanished(reason);
        }
        retry_.start();
        return;
    }
    retry_.stop();
    if (failing_) {
        qCInfo(lcSerial).noquote() << where()
                                   << QStringLiteral("back after %1 failed %2 in %3")
                                          .arg(failedAttempts_)
                                          .arg(failedAttempts_ == 1 ? "attempt" : "attempts")
                                          .arg(span(failingFor_.elapsed()));
    } else {
        qCInfo(lcSerial).noquote() << where() << "open";
    }
    failing_ = false;
    failedAttempts_ = 0;
    if (QFileInfo(settings_.port).isAbsolute()) {
        deviceCheck_.start();
    }
    emit opened();
    // Bytes that were waiting in the device before it was opened are not announced by
    // readyRead on every platform.
    QTimer::singleShot(0, this, &SerialLine::readAvailable);
}

void SerialLine::readAvailable() {
    while (!paused_ && port_.isOpen() && port_.bytesAvailable() > 0) {
        const QByteArray bytes = port_.read(kReadBufferSize);
        if (bytes.isEmpty()) {
            return;
        }
        emit bytesArrived(bytes);
    }
}

void SerialLine::setReadingPaused(bool paused) {
    paused_ = paused;
    if (!paused_) {
        QTimer::singleShot(0, this, &SerialLine::readAvailable);
    }
}

bool SerialLine::write(const QByteArray& bytes) {
    if (mode_ == Mode::kTap || !port_.isOpen() ||
        port_.bytesToWrite() + bytes.size() > kWriteLimit) {
        return false;
    }
    return port_.write(bytes) == bytes.size();
}

qint64 SerialLine::bytesToWrite() const {
    return port_.isOpen() ? port_.bytesToWrite() : 0;
}

void SerialLine::onError(QSerialPort::SerialPortError error) {
    // Errors of an open line that mean the device is gone; a parity or framing error is
    // one bad byte and leaves the line as it is, and open failures are tryOpen()'s.
    if (!port_.isOpen() || (error != QSerialPort::ResourceError &&
                            error != QSerialPort::ReadError && error != QSerialPort::WriteError)) {
        return;
    }
    lose(port_.errorString());
}

void SerialLine::checkDevice() {
    if (port_.isOpen() && !QFileInfo::exists(settings_.port)) {
        lose(QStringLiteral("the device is gone"));
    }
}

void SerialLine::lose(const QString& reason) {
    // Closing from inside the port's own error signal is safe: QSerialPort only clears its
    // notifiers, and the port object itself lives on for the next attempt.
    port_.close();
    port_.clearError();
    deviceCheck_.stop();
    if (!started_) {
        return;
    }
    failing_ = true;
    failedAttempts_ = 0;
    failingFor_.start();
    qCWarning(lcSerial).noquote() << where() << "gone (" + reason + "); retrying every second";
    emit vanished(reason);
    retry_.start();
}
