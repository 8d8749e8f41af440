// One Qt application for every widget test of the binary, made on first use.
#pragma once

#include "toolkit/qt/QtApplication.h"

namespace zv::test {

inline TQtApplication& QtTestApp() {
    static int argc = 1;
    static char arg0[] = "zcportui_tests";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt must outlive every widget a test leaves behind at exit.
    static TQtApplication* app = new TQtApplication(argc, argv);
    return *app;
}

} // namespace zv::test
