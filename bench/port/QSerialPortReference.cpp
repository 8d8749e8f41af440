// The QSerialPort reference of zbench-port: the same pseudo-terminal transfer, read with
// readyRead in a Qt event loop, every byte checked.
#include "PortBench.h"
#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>
#include <termios.h>
#include <thread>

namespace zvbench {

double QSerialPortRate(std::size_t bytes) {
    static int argc = 1;
    static char name[] = "zbench-port";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() != nullptr ? nullptr : new QCoreApplication(argc, argv);
    (void)app;

    Pty pty;
    QSerialPort port(QString::fromLocal8Bit(pty.Path().c_str()));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("  (QSerialPort: cannot open %s: %s)\n", pty.Path().c_str(),
                    port.errorString().toLocal8Bit().constData());
        return -1;
    }
    port.setReadBufferSize(0);
    PatternCheck check;
    QEventLoop loop;
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        const QByteArray data = port.readAll();
        check.Feed(data.constData(), static_cast<std::size_t>(data.size()));
        if (check.Received() >= bytes || !check.Good())
            loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    const auto start = Clock::now();
    PatternWriter writer(pty.Master(), bytes);
    loop.exec();
    const auto elapsed = Clock::now() - start;
    writer.Finish(check.Received() >= bytes);
    port.close();
    if (!check.Good() || check.Received() < bytes) {
        std::printf("  (QSerialPort: %s after %zu bytes)\n",
                    check.Good() ? "reception stalled" : "wrong byte", check.Received());
        return -1;
    }
    return MiBPerSecond(check.Received(), elapsed);
}

} // namespace zvbench
