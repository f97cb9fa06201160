#include "serial/serial_line.h"

#include "platform/serial_driver.h"

Q_LOGGING_CATEGORY(lcSerial, "poskavelin.serial")

namespace {

QString span(qint64 ms) {
    const qint64 seconds = ms / 1000;
    return seconds < 60 ? QStringLiteral("%1 s").arg(seconds)
                        : QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

}  // namespace

SerialLine::SerialLine(int channel, const SerialSettings& settings, Mode mode, QObject* parent)
    : QObject(parent),
      channel_(channel),
      settings_(settings),
      mode_(mode),
      driver_(makeSerialDriver({
          .arrived = [this](const QByteArray& bytes) { emit bytesArrived(bytes); },
          .lost = [this](const QString& reason) { lose(reason); },
          .written = [this](qint64 bytes) { emit bytesWritten(bytes); },
      })) {
    retry_.setInterval(kRetryMs);
    deviceCheck_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, &SerialLine::tryOpen);
    connect(&deviceCheck_, &QTimer::timeout, this, &SerialLine::checkDevice);
}

SerialLine::~SerialLine() {
    stop();
}

bool SerialLine::isOpen() const {
    return driver_->isOpen();
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
    driver_->close();
}

void SerialLine::tryOpen() {
    if (!started_ || driver_->isOpen()) {
        return;
    }
    QString reason;
    if (!driver_->open(settings_, mode_ == Mode::kTap, kReadBufferSize, &reason)) {
        ++failedAttempts_;
        if (!failing_) {
            failing_ = true;
            failingFor_.start();
            qCWarning(lcSerial).noquote()
                << where() << "cannot be opened (" + reason + "); retrying every second";
            retry_.start();
            emit vanished(reason);
            return;
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
    deviceCheck_.start();
    emit opened();
}

void SerialLine::setReadingPaused(bool paused) {
    driver_->setReadingPaused(paused);
}

bool SerialLine::write(const QByteArray& bytes) {
    if (mode_ == Mode::kTap || !driver_->isOpen() ||
        driver_->bytesToWrite() + bytes.size() > kWriteLimit) {
        return false;
    }
    driver_->write(bytes);
    return true;
}

qint64 SerialLine::bytesToWrite() const {
    return driver_->isOpen() ? driver_->bytesToWrite() : 0;
}

void SerialLine::checkDevice() {
    QString reason;
    if (driver_->isOpen() && !driver_->stillThere(&reason)) {
        driver_->close();
        lose(reason);
    }
}

void SerialLine::lose(const QString& reason) {
    deviceCheck_.stop();
    if (!started_) {
        return;
    }
    failing_ = true;
    failedAttempts_ = 0;
    failingFor_.start();
    qCWarning(lcSerial).noquote() << where() << "gone (" + reason + "); retrying every second";
    // Last: whoever hears of it may end this line.
    retry_.start();
    emit vanished(reason);
}
