// Zelvator: downloads an 8051 program in Intel HEX form into a simulator board on a serial
// line. Start-up: the Qt application, the simulated board on the port name SIM, the main window
// and the hidden About window, then the event loop until the main window closes.
#include "app/gui/Hw.h"
#include "app/gui/Main.h"
#include "toolkit/Exception.h"
#include "toolkit/qt/QtApplication.h"

#ifndef _WIN32
#include "simboard/SimBoard.h"
#endif

#include <exception>
#include <memory>

namespace {

#ifndef _WIN32
// The simulated board, so that a download can be tried without hardware: the setup dialog
// lists SIM beside the machine's real ports. Without it (the name is taken) the program works
// as before with real ports only.
std::unique_ptr<zv::TSimBoard> StartSimBoard() {
    try {
        return std::make_unique<zv::TSimBoard>();
    } catch (const std::exception&) {
        return nullptr;
    }
}
#endif

} // namespace

int main(int argc, char** argv) {
    zv::TQtApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Zelvator"));
    try {
#ifndef _WIN32
        // Declared before the windows: the port closes before the line goes away.
        const auto board = StartSimBoard();
#endif
        zv::TForm2 Form2;
        zv::TForm1 Form1(&Form2);
        Form1.show();
        return QApplication::exec();
    } catch (...) {
        // An exception from start-up or from the loop itself: shown, and the program ends
        // normally.
        zv::HandleCurrentException();
        return 0;
    }
}
