// zbench-port without Qt SerialPort: the reference is not measured.
#include "PortBench.h"

namespace zvbench {

double QSerialPortRate(std::size_t) {
    return 0;
}

} // namespace zvbench
