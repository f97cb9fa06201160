#include "serial/serial_line.h"

Q_LOGGING_CATEGORY(lcSerial, "poskavelin.serial")

// A build without Qt Serial Port: a line is never open, and says so the first time it is
// started. The settings check refuses the keys that would create one, so only a row that
// bypassed the check gets here.
struct SerialLine::Driver {
    bool started = false;
    bool told = false;
};

SerialLine::SerialLine(int channel, const SerialSettings& settings, Mode mode, QObject* parent)
    : QObject(parent),
      channel_(channel),
      settings_(settings),
      mode_(mode),
      driver_(std::make_unique<Driver>()) {}

SerialLine::~SerialLine() = default;

bool SerialLine::isOpen() const {
    return false;
}

void SerialLine::start() {
    if (driver_->started) {
        return;
    }
    driver_->started = true;
    const QString reason = QStringLiteral("this build has no serial port support");
    if (!driver_->told) {
        driver_->told = true;
        qCWarning(lcSerial).noquote() << QStringLiteral(
                                             "channel %1: serial line %2 cannot be "
                                             "opened: %3")
                                             .arg(channel_)
                                             .arg(settings_.port, reason);
    }
    emit vanished(reason);
}

void SerialLine::stop() {
    driver_->started = false;
}

bool SerialLine::write(const QByteArray&) {
    return false;
}

qint64 SerialLine::bytesToWrite() const {
    return 0;
}

void SerialLine::setReadingPaused(bool) {}
