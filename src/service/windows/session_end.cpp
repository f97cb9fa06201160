#include "service/windows/session_end.h"

#include <windows.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "app/frmKavelin.h"
#include "service/event_log.h"

namespace {

// The stop's own bound and a margin for its last lines; Windows waits about 5 s for an
// answer before it offers the user to end the program.
constexpr int kAnswerBoundMs = frmKavelin::kUnloadBoundMs + 1000;
constexpr wchar_t kWindowClass[] = L"PosKavelinSessionEnd";

SessionEnd* windowOwner = nullptr;

LRESULT CALLBACK sessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    qintptr result = 0;
    if (windowOwner && windowOwner->handle(message, wParam, lParam, &result)) {
        return result;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

const char* reason(LPARAM lParam) {
    if (lParam & ENDSESSION_CLOSEAPP) {
        return "closing programs for an update";
    }
    return lParam & ENDSESSION_LOGOFF ? "logging off" : "shutting down";
}

}  // namespace

SessionEnd::SessionEnd(std::function<void()> stop, QObject* parent)
    : QObject(parent), stop_(std::move(stop)) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = sessionWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassExW(&windowClass);
    // Top-level and never shown: a message-only window (HWND_MESSAGE) is not told of the
    // session's end.
    window_ = ::CreateWindowExW(0, kWindowClass, L"PosKavelin", WS_POPUP, 0, 0, 0, 0, nullptr,
                                nullptr, instance, nullptr);
    if (window_) {
        windowOwner = this;
    } else {
        qCWarning(lcService,
                  "no window for Windows' end of session (error %lu): logging off or shutting "
                  "down while hidden ends the bridge without its orderly stop",
                  ::GetLastError());
    }
    if (auto* app = QCoreApplication::instance()) {
        app->installNativeEventFilter(this);
    }
}

SessionEnd::~SessionEnd() {
    if (auto* app = QCoreApplication::instance()) {
        app->removeNativeEventFilter(this);
    }
    if (window_) {
        windowOwner = nullptr;
        ::DestroyWindow(window_);
        ::UnregisterClassW(kWindowClass, ::GetModuleHandleW(nullptr));
    }
}

bool SessionEnd::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) {
    // Taken before Qt's windows plugin sees them: it would answer WM_QUERYENDSESSION by
    // blocking input to every window, and WM_ENDSESSION by quitting the loop at once, before
    // anything is handed over.
    if (eventType != "windows_generic_MSG") {
        return false;
    }
    const auto* msg = static_cast<const MSG*>(message);
    return handle(msg->message, msg->wParam, msg->lParam, result);
}

bool SessionEnd::handle(unsigned message, quintptr wParam, qintptr lParam, qintptr* result) {
    if (message == WM_QUERYENDSESSION) {
        // Nothing the bridge holds is worth keeping a shop's PC from shutting down; the
        // handover follows at WM_ENDSESSION.
        *result = TRUE;
        return true;
    }
    if (message != WM_ENDSESSION) {
        return false;
    }
    *result = 0;
    if (!wParam) {
        return true;  // another program refused the end; the session, and the bridge, go on
    }
    if (!answerBy_) {
        qCInfo(lcService, "Windows is ending the session (%s)", reason(lParam));
        answerBy_ = QDeadlineTimer(kAnswerBoundMs);
        stop_();
    }
    // The stop ends by telling the application to exit, which ends every event loop, this
    // one included. Each of the process's windows is told in turn, the later ones while
    // the first waits here; they all wait for the same stop and the same bound.
    QEventLoop untilStopped;
    QTimer::singleShot(int(answerBy_->remainingTime()), &untilStopped, &QEventLoop::quit);
    untilStopped.exec();
    return true;
}
