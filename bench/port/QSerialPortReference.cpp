// The QSerialPort reference of zbench-port: the same pseudo-terminal transfer, read with
// readyRead in a Qt event loop.
#include "PortBench.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

#include <chrono>
#include <thread>
#include <vector>

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
    if (!port.open(QIODevice::ReadWrite))
        return 0;
    port.setReadBufferSize(0);
    std::size_t got = 0;
    QEventLoop loop;
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        got += static_cast<std::size_t>(port.readAll().size());
        if (got >= bytes)
            loop.quit();
    });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] {
        std::vector<char> block(4096, 'x');
        std::size_t sent = 0;
        while (sent < bytes) {
            const ssize_t w =
                ::write(pty.Master(), block.data(), std::min(block.size(), bytes - sent));
            if (w > 0)
                sent += static_cast<std::size_t>(w);
            else if (w < 0 && errno != EINTR && errno != EAGAIN)
                return;
        }
    });
    loop.exec();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    port.close();
    return static_cast<double>(got) / (1024.0 * 1024.0) / seconds;
}

} // namespace zvbench
