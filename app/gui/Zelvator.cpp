// Zelvator: downloads an 8051 program in Intel HEX form into a simulator board on a serial
// line. Start-up: the Qt application, the simulated board on the port name SIM where it can run,
// the main window and the hidden About window, then the event loop until the main window closes.
#include "app/core/HostSystem.h"
#include "app/gui/Hw.h"
#include "app/gui/Main.h"
#include "toolkit/Exception.h"
#include "toolkit/qt/ProgramInfo.h"
#include "toolkit/qt/QtApplication.h"

#include <exception>
#include <memory>

namespace {

constexpr const char* kHelp =
    "Usage: zelvator [QT-OPTIONS]\n"
    "\n"
    "Downloads 8051 programs (Intel HEX files) into a simulator board on a serial line.\n"
    "\n"
    "\"Open File\" chooses the program; \"Write Program to Sim\" opens the port, puts the\n"
    "board into load mode with RTS and DTR (the board's mode and reset lines), sends the\n"
    "program's memory image and starts the board; \"Reset\" pulses the board's reset line;\n"
    "\"Setup COM\" chooses the port and its line settings. The simulated board is listed\n"
    "as SIM, so a download can be tried without hardware.\n"
    "\n"
    "The port confirmed in \"Setup COM\" is remembered for the next start in zelvator.ini\n"
#ifdef _WIN32
    "in the configuration folder (%APPDATA%\\zelvator),\n"
#else
    "in the configuration folder ($XDG_CONFIG_HOME/zelvator, else ~/.config/zelvator),\n"
#endif
    "section [ComPort1]; zelvator-cli takes its default port from there too.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Qt's own options (for example -platform offscreen) are accepted too.\n"
    "The command-line downloader zelvator-cli does the same from a shell.\n";

// The simulated board, so that a download can be tried without hardware: the setup dialog
// lists SIM beside the machine's real ports. Without it (the name is taken, or the board cannot
// run on this system) the program works as before with real ports only.
std::unique_ptr<zv::TLocalBoard> StartSimBoard() {
    if (!zv::LocalBoardAvailable())
        return nullptr;
    try {
        return zv::StartLocalBoard();
    } catch (const std::exception&) {
        return nullptr;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (const auto status = zv::AnswerInfoOption(argc, argv, "zelvator", ZELVATOR_VERSION, kHelp))
        return *status;
    zv::TQtApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Zelvator"));
    try {
        // Declared before the windows: the port closes before the line goes away.
        const auto board = StartSimBoard();
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
