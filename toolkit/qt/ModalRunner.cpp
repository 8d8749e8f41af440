#include "toolkit/qt/ModalRunner.h"

#include <QDialog>

#include <utility>

namespace zv {

namespace {

// Main thread only, like every widget.
TModalRunner& runnerSlot() {
    static TModalRunner runner;
    return runner;
}

} // namespace

int ExecModal(QDialog& Dialog) {
    // Copied: a runner may install another one while it runs (a dialog opened from a dialog).
    const TModalRunner runner = runnerSlot();
    if (runner)
        return runner(Dialog);
    return Dialog.exec();
}

TModalRunner SetModalRunner(TModalRunner Runner) {
    return std::exchange(runnerSlot(), std::move(Runner));
}

} // namespace zv
