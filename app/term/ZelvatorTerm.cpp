// zelvator-term: a serial terminal built from the components, which can also write a program
// into the simulator board it talks to. Start-up: the Qt application, the simulated board on the
// port name SIM, the window, then the event loop until the window closes.
#include "app/core/HostSystem.h"
#include "app/term/TermStart.h"
#include "app/term/TermWindow.h"
#include "toolkit/Exception.h"
#include "toolkit/qt/ProgramInfo.h"
#include "toolkit/qt/QtApplication.h"

#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kHelp =
    "Usage: zelvator-term [--port NAME] [--baud RATE] [QT-OPTIONS]\n"
    "\n"
    "A serial terminal with VT52/VT100 emulation. It talks to the device on one serial port:\n"
    "what arrives is shown on the screen, what you type is sent. The status bar shows the\n"
    "port's lines (Conn, CTS, DSR, RLSD, Ring, Rx, Tx) as lamps. Send file sends a file's\n"
    "bytes as they are; Write program writes an Intel HEX program into the 8051 simulator\n"
    "board on the port (framing on RTS and DTR), and the terminal then shows what the\n"
    "program prints. The simulated board is listed as SIM, so all of it can be tried\n"
    "without hardware.\n"
    "\n"
    "Without options the port and terminal settings of the last session are used (the\n"
    "first time: SIM), not connected; with --port the window connects to that port at once.\n"
    "\n"
    "Options:\n"
    "  --port NAME    the serial port: SIM, COM1 (/dev/ttyS0), ttyUSB0 or a device path\n"
    "  --baud RATE    the line speed in bits per second\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Qt's own options (for example -platform offscreen) are accepted too.\n";

// The simulated board, so that the terminal can be tried without hardware: the port list shows
// SIM beside the machine's real ports. Without it (the name is taken, or the system has none)
// only real ports are there.
std::unique_ptr<zv::TLocalBoard> StartSimBoard() {
    try {
        return zv::StartLocalBoard();
    } catch (const std::exception&) {
        return nullptr;
    }
}

int Usage(const zv::ECommandLine& E) {
    std::fprintf(stderr, "zelvator-term: %s\n%s\n", E.what(), zv::TermUsage.data());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (const auto status =
            zv::AnswerInfoOption(argc, argv, "zelvator-term", ZELVATOR_VERSION, kHelp))
        return *status;
    // Our own options are checked before Qt starts, so that a mistake is reported without a
    // display; Qt's options are left to Qt, and what remains is checked once more after it.
    try {
        zv::ParseTermArgs(std::vector<std::string>(argv + 1, argv + argc), true);
    } catch (const zv::ECommandLine& e) {
        return Usage(e);
    }
    zv::TQtApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zelvator-term"));
    std::vector<std::string> args;
    const QStringList list = QApplication::arguments();
    for (qsizetype i = 1; i < list.size(); ++i)
        args.push_back(list[i].toLocal8Bit().toStdString());
    zv::TTermStart start;
    try {
        start = zv::ParseTermArgs(args);
    } catch (const zv::ECommandLine& e) {
        return Usage(e);
    }

    try {
        std::string defaultPort;
        // Declared before the window: the port closes before the line goes away.
        const auto board = StartSimBoard();
        if (board)
            defaultPort = board->PortName();
        zv::TTermWindow window(start, defaultPort);
        window.show();
        // A port named on the command line is the one to talk to now.
        if (start.Port)
            QTimer::singleShot(0, &window, [&window] { window.Connect(); });
        return QApplication::exec();
    } catch (...) {
        zv::HandleCurrentException();
        return 1;
    }
}
