// Running modal dialogs through one door, so that a program's dialogs can be driven without a
// user: a test installs a runner that looks at the dialog, makes its choices and returns the
// result the dialog would have closed with.
#pragma once

#include <functional>

class QDialog;

namespace zv {

// Returns the dialog's result (QDialog::Accepted, QDialog::Rejected or a button code).
using TModalRunner = std::function<int(QDialog& Dialog)>;

// Shows Dialog modally and returns its result: QDialog::exec(), or the installed runner.
int ExecModal(QDialog& Dialog);

// Installs the runner used by ExecModal (empty: exec()); returns the previous one.
TModalRunner SetModalRunner(TModalRunner Runner);

} // namespace zv
