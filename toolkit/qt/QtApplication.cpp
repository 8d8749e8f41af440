#include "toolkit/qt/QtApplication.h"

#include "toolkit/Thread.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/QtText.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>

namespace zv {

void ShowExceptionMessage(const std::exception& E) {
    // Widgets and modal loops belong to the GUI thread. An exception reported on another
    // thread (a port's event thread calling back without a hand-off) is shown from the GUI
    // thread's loop; the reporting thread does not wait for the box.
    if (!IsMainThread() && qApp != nullptr) {
        QMetaObject::invokeMethod(
            qApp,
            [message = std::string(E.what())] {
                CallHandler([&] { ShowExceptionMessage(Exception(message)); });
            },
            Qt::QueuedConnection);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), ToQString(E.what()),
                    QMessageBox::Ok);
    ExecModal(box);
}

TQtApplication::TQtApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // The Qt event loop runs on this thread; the component set's queued calls must run here.
    SetMainThread();
    FPreviousHandler = SetApplicationExceptionHandler(ShowExceptionMessage);
    FPreviousWake = SetWakeMainThread([this] { PostSynchronize(); });
}

TQtApplication::~TQtApplication() {
    SetWakeMainThread(std::move(FPreviousWake));
    SetApplicationExceptionHandler(std::move(FPreviousHandler));
    // Calls queued for the main thread after the loop ended still run, so that no thread
    // stays blocked in a hand-off.
    while (CheckSynchronize()) {
    }
}

void TQtApplication::PostSynchronize() {
    // Called on the queuing thread: invokeMethod with Qt::QueuedConnection only posts an event
    // to this object's thread, which is safe from any thread.
    QMetaObject::invokeMethod(
        this, [] { CallHandler([] { CheckSynchronize(); }); }, Qt::QueuedConnection);
}

bool TQtApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (...) {
        HandleCurrentExceptionQuietly();
        return true;
    }
}

} // namespace zv
