#include "service/event_log_sink.h"

#include <windows.h>

#include <QIODevice>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

// Windows' side of the event log: stderr, since Windows has no journal, and the file opened
// by Qt.

namespace {

// stderr as the bridge writes it: without ever waiting. Windows has no way to write a
// console, pipe or file handle without waiting short of overlapped I/O, which an inherited
// stderr never allows, and a console paused by a selection, a pipe nobody reads or a hung
// reader would otherwise hold up every channel at its next log line. So a thread of its
// own writes, and a line only joins its queue: a line that finds kMaxQueued bytes waiting or
// being written is dropped and counted, and the count is told once lines go through again.
class StderrOut {
public:
    // As much as a Linux pipe holds before a writer would wait.
    static constexpr qsizetype kMaxQueued = 1 << 16;
    // What the exit gives the thread to hand over the last lines.
    static constexpr auto kExitFlush = std::chrono::milliseconds(500);

    void attach() {
        std::lock_guard lock(mutex_);
        handle_ = stderrHandle();
        DWORD mode = 0;
        console_ = handle_ != nullptr && ::GetConsoleMode(handle_, &mode);
        queue_.clear();
        dropped_ = 0;  // counted for a stream that is no longer ours
        if (handle_ != nullptr && !started_) {
            started_ = true;
            // Never joined: the writer may be stuck in a write when the process ends.
            std::thread([this] { run(); }).detach();
            std::atexit([] { instance().flushAtExit(); });
        }
    }

    void write(const QByteArray& line) {
        std::lock_guard lock(mutex_);
        if (handle_ == nullptr) {
            return;
        }
        if (queue_.size() + writing_ + line.size() > kMaxQueued) {
            ++dropped_;
            return;
        }
        if (dropped_ > 0) {
            queue_ += droppedLine();
            dropped_ = 0;
        }
        queue_ += line;
        wake_.notify_one();
    }

    static StderrOut& instance() {
        // Never destroyed, like the log itself: Qt's own globals may still log while we exit.
        static StderrOut* out = new StderrOut;
        return *out;
    }

private:
    // A program built for the window subsystem and started without a console or a
    // redirection has no stderr at all: its lines go to the file only.
    static HANDLE stderrHandle() {
        const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
        ::SetLastError(NO_ERROR);
        if (::GetFileType(handle) == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) {
            return nullptr;
        }
        return handle;
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !queue_.isEmpty(); });
            const QByteArray batch = std::exchange(queue_, QByteArray());
            const HANDLE handle = handle_;
            const bool console = console_;
            writing_ = batch.size();
            lock.unlock();
            put(handle, console, batch);
            lock.lock();
            writing_ = 0;
            drained_.notify_all();
        }
    }

    // A stream that is gone loses its lines; they are not counted.
    static void put(HANDLE handle, bool console, const QByteArray& bytes) {
        if (console) {
            // A console shows UTF-16 as it is, whatever its code page.
            const std::wstring text = QString::fromUtf8(bytes).toStdWString();
            DWORD written = 0;
            for (size_t done = 0; done < text.size(); done += written) {
                if (!::WriteConsoleW(handle, text.data() + done, DWORD(text.size() - done),
                                     &written, nullptr) ||
                    written == 0) {
                    return;
                }
            }
            return;
        }
        DWORD written = 0;
        for (qsizetype done = 0; done < bytes.size(); done += written) {
            if (!::WriteFile(handle, bytes.constData() + done, DWORD(bytes.size() - done), &written,
                             nullptr) ||
                written == 0) {
                return;
            }
        }
    }

    // The lines of the last moments (the stop, its reason) are the ones most wanted; a stream
    // that does not take them within the bound costs them, not the exit.
    void flushAtExit() {
        std::unique_lock lock(mutex_);
        drained_.wait_for(lock, kExitFlush, [this] { return queue_.isEmpty() && writing_ == 0; });
    }

    QByteArray droppedLine() const {
        return event_log::timestamped(
            QtWarningMsg, QString::fromLatin1(lcService().categoryName()),
            QStringLiteral("%1 log line%2 dropped while stderr was blocked")
                .arg(dropped_)
                .arg(dropped_ == 1 ? " was" : "s were"));
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    HANDLE handle_ = nullptr;
    bool console_ = false;
    bool started_ = false;
    QByteArray queue_;
    qsizetype writing_ = 0;
    qint64 dropped_ = 0;
};

}  // namespace

namespace event_log::sink {

void attach(const QByteArray&) {
    StderrOut::instance().attach();
}

void write(QtMsgType type, const QString& category, const QString& message, const ChannelEvent*) {
    StderrOut::instance().write(timestamped(type, category, message));
}

bool openFile(QFile& file, const QString& path, bool truncate, QString* why) {
    file.setFileName(path);
    if (file.open(QIODevice::WriteOnly | (truncate ? QIODevice::Truncate : QIODevice::Append) |
                  QIODevice::Unbuffered)) {
        return true;
    }
    *why = file.errorString();
    return false;
}

}  // namespace event_log::sink
