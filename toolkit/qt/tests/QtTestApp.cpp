#include "toolkit/qt/tests/QtTestApp.h"

#include <gtest/gtest.h>

namespace zv::test {

namespace {

int argc = 1;
char arg0[] = "zelvator_widget_tests";
char* argv[] = {arg0, nullptr};
TQtApplication* app = nullptr;

class TQtAppEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        delete app;
        app = nullptr;
    }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new TQtAppEnvironment);

} // namespace

TQtApplication& QtTestApp() {
    if (!app)
        app = new TQtApplication(argc, argv);
    return *app;
}

} // namespace zv::test

// The system's font configuration library keeps caches for the life of the process; they are
// not ours to free. LeakSanitizer reads this list when the program ends.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

// Qt's libraries are not built for ThreadSanitizer, so it cannot see the locks Qt's own worker
// threads take (the file dialog's file-information thread); what it reports between Qt's
// threads inside Qt's code is not ours to judge.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n";
}
