// One Qt application for the widget tests of a binary: made on first use, destroyed after the
// last test (so that leak checks see a clean end).
#pragma once

#include "toolkit/qt/QtApplication.h"

namespace zv::test {

TQtApplication& QtTestApp();

} // namespace zv::test
