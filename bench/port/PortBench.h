// Pieces of zbench-port shared with its optional Qt reference.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace zvbench {

// A pseudo-terminal pair: the test side holds the main end, the port opens Path().
class Pty {
public:
    Pty() {
        FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0)
            throw std::runtime_error("no pseudo-terminal");
        FPath = ::ptsname(FMaster);
    }
    ~Pty() { ::close(FMaster); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    int Master() const { return FMaster; }
    const std::string& Path() const { return FPath; }

private:
    int FMaster = -1;
    std::string FPath;
};

// MiB/s of QSerialPort receiving `bytes` from a pseudo-terminal through readyRead, every byte
// checked; 0 when the program was built without Qt SerialPort, negative when the run failed.
double QSerialPortRate(std::size_t bytes);

// Receive throughput through a port server (ser2net) against a plain TCP read of its stream;
// prints its rows and figures, or why it measured nothing.
void NetworkBench();

} // namespace zvbench
