#pragma once

#include <QAbstractNativeEventFilter>
#include <QDeadlineTimer>
#include <QObject>
#include <functional>
#include <optional>

struct HWND__;

// Windows ends a session (logging off, shutting down, an installer closing programs) by
// asking every top-level window with WM_QUERYENDSESSION and then telling it with
// WM_ENDSESSION; once that returns, the process may be ended at any moment. The bridge
// never holds the session up, and answers the end only when the orderly stop is done (or
// its bound has passed), so what the terminals sent has reached the DVRs.
//
// A hidden bridge has no top-level window of Qt's (a QWidget that was never shown has no
// native window, and Qt's helper windows are message-only, which session messages skip), so
// a hidden window of its own is always there to be told. Qt's own windows, when shown, get
// the same messages through the filter.
class SessionEnd : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // stop starts the orderly stop; it is called once, on the first WM_ENDSESSION.
    explicit SessionEnd(std::function<void()> stop, QObject* parent = nullptr);
    ~SessionEnd() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    // A window message; true when it was the session's, with the answer in result.
    bool handle(unsigned message, quintptr wParam, qintptr lParam, qintptr* result);

private:
    std::function<void()> stop_;
    std::optional<QDeadlineTimer> answerBy_;
    HWND__* window_ = nullptr;
};
