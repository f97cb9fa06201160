#include "platform/serial_driver.h"

#include <windows.h>

#include <QPointer>
#include <QTimer>
#include <QWinEventNotifier>
#include <utility>

// COM ports through the Windows communications calls, with overlapped reads and writes
// whose completion events QWinEventNotifier hands to the event loop: one read and one write
// at a time, so nothing waits on the device but the system.
namespace {

// How long an operation that timed out having moved nothing waits before it is asked again.
constexpr int kEmptyTimeoutPauseMs = 10;

BYTE parityOf(SerialSettings::Parity parity) {
    switch (parity) {
        case SerialSettings::Parity::kEven:
            return EVENPARITY;
        case SerialSettings::Parity::kOdd:
            return ODDPARITY;
        case SerialSettings::Parity::kMark:
            return MARKPARITY;
        case SerialSettings::Parity::kSpace:
            return SPACEPARITY;
        case SerialSettings::Parity::kNone:
            break;
    }
    return NOPARITY;
}

BYTE stopBitsOf(SerialSettings::StopBits bits) {
    switch (bits) {
        case SerialSettings::StopBits::kOneAndHalf:
            return ONE5STOPBITS;
        case SerialSettings::StopBits::kTwo:
            return TWOSTOPBITS;
        case SerialSettings::StopBits::kOne:
            break;
    }
    return ONESTOPBIT;
}

BYTE dataBitsOf(SerialSettings::DataBits bits) {
    switch (bits) {
        case SerialSettings::DataBits::k5:
            return 5;
        case SerialSettings::DataBits::k6:
            return 6;
        case SerialSettings::DataBits::k7:
            return 7;
        case SerialSettings::DataBits::k8:
            break;
    }
    return 8;
}

// COM10 and up are reached only through the device namespace, so every name goes there.
QString deviceName(const QString& port) {
    return port.startsWith(QLatin1String("\\\\")) ? port : QStringLiteral("\\\\.\\") + port;
}

QString systemError(DWORD code) {
    return qt_error_string(int(code));
}

bool configure(HANDLE handle, const SerialSettings& settings, qint64 bufferSize) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // The buffers first: the flow control limits below are measured in them.
    if (!SetupComm(handle, DWORD(bufferSize), DWORD(bufferSize)) || !GetCommState(handle, &dcb)) {
        return false;
    }
    const bool rtsCts = settings.flow == SerialSettings::Flow::kRtsCts;
    const bool xonXoff = settings.flow == SerialSettings::Flow::kXonXoff;
    dcb.BaudRate = DWORD(settings.baud);
    dcb.ByteSize = dataBitsOf(settings.dataBits);
    dcb.Parity = parityOf(settings.parity);
    dcb.StopBits = stopBitsOf(settings.stopBits);
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != SerialSettings::Parity::kNone;
    dcb.fOutxCtsFlow = rtsCts;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = xonXoff;
    dcb.fInX = xonXoff;
    // A sender held back by our XOFF must not hold back what we send it in turn.
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = WORD(bufferSize / 4);
    dcb.XoffLim = WORD(bufferSize / 4);
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    // A parity or framing error is one bad byte; it must not stop the line.
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb)) {
        return false;
    }
    // A read waits for the first byte however long it takes, then ends at the first pause of
    // 10 ms: a piece is handed on within a tick of the sender stopping. (Wine, unlike Windows,
    // has no "return at once with what is there" mode, so this one serves both.)
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 10;
    return SetCommTimeouts(handle, &timeouts);
}

// One overlapped operation, read or write, and the event that says it has ended.
struct Operation {
    Operation() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)), notifier(event) {}
    ~Operation() {
        notifier.setEnabled(false);
        CloseHandle(event);
    }

    void begin() {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        busy = true;
        failedToStart = 0;
        timedOut = false;
    }

    // An operation the system refused at once still ends through the event, so that its
    // failure is reported from the event loop like any other.
    void refused(DWORD error) {
        failedToStart = error;
        SetEvent(event);
    }

    HANDLE event;
    QWinEventNotifier notifier;
    OVERLAPPED overlapped{};
    QByteArray buffer;
    bool busy = false;
    DWORD failedToStart = 0;
    bool timedOut = false;
};

class WinSerialDriver final : public SerialDriver {
public:
    explicit WinSerialDriver(Events events) : events_(std::move(events)) {
        connect(&read_.notifier, &QWinEventNotifier::activated, this, &WinSerialDriver::readDone);
        connect(&write_.notifier, &QWinEventNotifier::activated, this, &WinSerialDriver::writeDone);
    }

    ~WinSerialDriver() override { close(); }

    bool open(const SerialSettings& settings, bool readOnly, qint64 readSize,
              QString* reason) override {
        const std::wstring name = deviceName(settings.port).toStdWString();
        handle_ = CreateFileW(name.c_str(), GENERIC_READ | (readOnly ? 0 : GENERIC_WRITE), 0,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            *reason = systemError(GetLastError());
            return false;
        }
        if (!configure(handle_, settings, readSize)) {
            *reason = QStringLiteral("its settings cannot be set: ") + systemError(GetLastError());
            close();
            return false;
        }
        read_.buffer.resize(readSize);
        if (const DWORD error = beginRead()) {
            *reason = systemError(error);
            close();
            return false;
        }
        return true;
    }

    void close() override {
        if (handle_ == INVALID_HANDLE_VALUE) {
            return;
        }
        // The system writes into the operations' buffers until they have ended.
        CancelIoEx(handle_, nullptr);
        for (Operation* operation : {&read_, &write_}) {
            if (operation->busy && operation->failedToStart == 0) {
                DWORD ignored = 0;
                GetOverlappedResult(handle_, &operation->overlapped, &ignored, TRUE);
            }
            operation->busy = false;
            ResetEvent(operation->event);
        }
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        held_.clear();
        queued_.clear();
        write_.buffer.clear();
    }

    bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

    bool stillThere(QString* reason) override {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status)) {
            *reason = systemError(GetLastError());
            return false;
        }
        return true;
    }

    void write(const QByteArray& bytes) override {
        queued_ += bytes;
        startWrite();
    }

    qint64 bytesToWrite() const override { return queued_.size() + write_.buffer.size(); }

    void setReadingPaused(bool paused) override {
        paused_ = paused;
        if (!paused) {
            // Handed on from the event loop, as bytes always are.
            QMetaObject::invokeMethod(
                this, [this] { resume(); }, Qt::QueuedConnection);
        }
    }

private:
    void startRead() {
        if (!isOpen() || read_.busy || paused_ || !held_.isEmpty()) {
            return;
        }
        if (const DWORD error = beginRead()) {
            fail(error);
        }
    }

    // Asks for the next bytes: 0, or the error that stopped it. Done at once or later, the
    // event is set and readDone() follows from the loop.
    DWORD beginRead() {
        read_.begin();
        if (ReadFile(handle_, read_.buffer.data(), DWORD(read_.buffer.size()), nullptr,
                     &read_.overlapped)) {
            return 0;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            return 0;
        }
        read_.busy = false;
        return error;
    }

    void readDone() {
        DWORD count = 0;
        if (!finish(read_, &count)) {
            return;
        }
        if (count > 0) {
            held_ = read_.buffer.first(count);
        } else if (std::exchange(read_.timedOut, false)) {
            // An empty read that timed out is asked again after a pause, never in a loop.
            QTimer::singleShot(kEmptyTimeoutPauseMs, this, [this] { startRead(); });
            return;
        }
        resume();
    }

    void resume() {
        if (!held_.isEmpty() && !paused_) {
            const QPointer<SerialDriver> alive(this);
            events_.arrived(std::exchange(held_, {}));
            if (!alive) {
                return;
            }
        }
        startRead();
    }

    void startWrite() {
        if (!isOpen() || write_.busy || queued_.isEmpty()) {
            return;
        }
        write_.buffer = std::exchange(queued_, {});
        write_.begin();
        if (WriteFile(handle_, write_.buffer.constData(), DWORD(write_.buffer.size()), nullptr,
                      &write_.overlapped)) {
            return;
        }
        if (const DWORD error = GetLastError(); error != ERROR_IO_PENDING) {
            write_.refused(error);
        }
    }

    void writeDone() {
        DWORD count = 0;
        if (!finish(write_, &count)) {
            return;
        }
        // What a timed-out write left goes again, first.
        queued_.prepend(write_.buffer.sliced(qMin(qsizetype(count), write_.buffer.size())));
        write_.buffer.clear();
        if (count > 0) {
            const QPointer<SerialDriver> alive(this);
            events_.written(count);
            if (!alive) {
                return;
            }
        }
        if (std::exchange(write_.timedOut, false) && count == 0) {
            QTimer::singleShot(kEmptyTimeoutPauseMs, this, [this] { startWrite(); });
            return;
        }
        startWrite();
    }

    // Collects an ended operation: true with its count, or false when it had not ended (an
    // event left over from a closed handle) or the line failed.
    bool finish(Operation& operation, DWORD* count) {
        if (!operation.busy || !isOpen()) {
            return false;
        }
        DWORD error = operation.failedToStart;
        if (error == 0 && !GetOverlappedResult(handle_, &operation.overlapped, count, FALSE)) {
            error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE) {
                return false;
            }
        }
        operation.busy = false;
        ResetEvent(operation.event);
        if (error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT) {
            // No total timeout is set, yet wine under load ends an operation so: the line
            // is still there, and the operation moved what it says it did.
            *count = DWORD(operation.overlapped.InternalHigh);
            operation.timedOut = true;
            error = 0;
        }
        if (error != 0) {
            fail(error);
            return false;
        }
        return true;
    }

    void fail(DWORD error) {
        const QString reason = systemError(error);
        close();
        events_.lost(reason);
    }

    const Events events_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    Operation read_;
    Operation write_;
    // What one read brought while reading was paused, handed on when it resumes.
    QByteArray held_;
    QByteArray queued_;
    bool paused_ = false;
};

}  // namespace

std::unique_ptr<SerialDriver> makeSerialDriver(SerialDriver::Events events) {
    return std::make_unique<WinSerialDriver>(std::move(events));
}
