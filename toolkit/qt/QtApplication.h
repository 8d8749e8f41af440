// TQtApplication: a Qt application that is also the component set's main loop.
//
// While it exists:
// - work queued for the main thread (TThread::Synchronize, messages to a message window) wakes
//   the Qt event loop through a queued call that runs CheckSynchronize, so event handlers of a
//   port run on the GUI thread between Qt's own events;
// - the application's standard exception handler shows the exception's message in a message
//   box (through ExecModal, so it can be driven without a user);
// - an exception that escapes an event handler is caught in notify(), shown by that handler,
//   and the event loop goes on with the next event.
// The destructor puts back the wake-up hook and exception handler that were there before.
#pragma once

#include "toolkit/Exception.h"

#include <QApplication>

#include <exception>
#include <functional>

namespace zv {

// The standard exception display: a critical message box with the exception's message and the
// application's name as caption.
void ShowExceptionMessage(const std::exception& E);

// Runs Handler as an event handler called by Qt: an exception it raises goes to
// HandleApplicationException and stops there. Qt's own libraries are built without exception
// support, so an exception that unwinds through Qt's frames (a signal's emission, a button's
// click) skips their clean-up; handlers connected to Qt signals catch at their own edge instead,
// and notify() only catches what a handler let through.
template <typename F> void CallHandler(F&& Handler) noexcept {
    try {
        Handler();
    } catch (...) {
        HandleCurrentExceptionQuietly(); // a raising exception handler must not end the program
    }
}

class TQtApplication : public QApplication {
    Q_OBJECT

public:
    TQtApplication(int& argc, char** argv);
    ~TQtApplication() override;

    // Delivers the event; an exception escaping the receiver's handler goes to
    // HandleApplicationException and the event counts as handled.
    bool notify(QObject* Receiver, QEvent* Event) override;

private:
    void PostSynchronize();

    std::function<void()> FPreviousWake;
    TExceptionHandler FPreviousHandler;
};

} // namespace zv
