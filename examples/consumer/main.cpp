// Opens a serial port and copies what arrives to standard output for a number of seconds.
//   zelvator-consumer PORT [SECONDS [BAUD]]
#include "cport/ComError.h"
#include "cport/ComPort.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: zelvator-consumer PORT [SECONDS [BAUD]]\n";
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
    try {
        zv::TComPort port;
        port.SetPort(argv[1]);
        if (argc > 3) {
            port.SetBaudRate(zv::brCustom);
            port.SetCustomBaudRate(std::atoi(argv[3]));
        }
        // Without a GUI loop to hand events to, the handler runs on the port's event thread.
        port.SetSyncMethod(zv::smNone);
        port.OnRxChar = [&port](zv::TObject*, std::int32_t count) {
            std::string data;
            port.ReadStr(data, count);
            std::fwrite(data.data(), 1, data.size(), stdout);
            std::fflush(stdout);
        };
        port.Open();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        port.Close();
    } catch (const std::exception& e) {
        std::cerr << "zelvator-consumer: " << argv[1] << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
