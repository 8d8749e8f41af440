// zelvator-term: a serial terminal built from the components, which can also write a program
// into the simulator board it talks to. Start-up: the Qt application, the simulated board on the
// port name SIM, the window, then the event loop until the window closes.
#include "app/term/TermStart.h"
#include "app/term/TermWindow.h"
#include "toolkit/Exception.h"
#include "toolkit/qt/QtApplication.h"

#ifndef _WIN32
#include "simboard/SimBoard.h"
#endif

#include <QStringList>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

#ifndef _WIN32
// The simulated board, so that the terminal can be tried without hardware: the port list shows
// SIM beside the machine's real ports. Without it (the name is taken) only real ports are there.
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
    QApplication::setApplicationName(QStringLiteral("zelvator-term"));

    // Qt has taken its own options out of the arguments by now.
    std::vector<std::string> args;
    const QStringList list = QApplication::arguments();
    for (qsizetype i = 1; i < list.size(); ++i)
        args.push_back(list[i].toLocal8Bit().toStdString());
    zv::TTermStart start;
    try {
        start = zv::ParseTermArgs(args);
    } catch (const zv::ECommandLine& e) {
        std::fprintf(stderr, "zelvator-term: %s\n%s\n", e.what(), zv::TermUsage.data());
        return 2;
    }
    if (start.Help) {
        std::printf("%s\n", zv::TermUsage.data());
        return 0;
    }

    try {
        std::string defaultPort;
#ifndef _WIN32
        // Declared before the window: the port closes before the line goes away.
        const auto board = StartSimBoard();
        if (board)
            defaultPort = board->PortName();
#endif
        zv::TTermWindow window(start, defaultPort);
        window.show();
        return QApplication::exec();
    } catch (...) {
        zv::HandleCurrentException();
        return 1;
    }
}
