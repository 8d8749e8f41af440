// zbench-simboard: the CPU time the process spends while a download crosses the paced virtual
// line into the simulated board, divided by the wall time the transfer takes. The board's reader
// should cost next to nothing while it waits for bytes that come one character time apart.
//
//   figure sim_download_cpu_ratio  CPU s / wall s of a 33000-byte transfer at 115200 bit/s
//                                  (median of the rounds; the process's own CPU time, every
//                                  thread: the port's driver, the line and the board)
//   figure sim_idle_cpu_ratio      the same over a second with the port open and the line quiet
//
// Every received byte is checked against what was sent.
#include "platform/win32.h"
#include "simboard/SimBoard.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBytes = 33000;
constexpr DWORD kBaud = 115200;
constexpr int kRounds = 5;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "zbench-simboard: %s (error %lu)\n", what.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    std::exit(1);
}

HANDLE OpenSim() {
    const HANDLE h = CreateFileA("\\\\.\\SIMBENCH", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        Fail("cannot open SIMBENCH");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = kBaud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb))
        Fail("cannot set 115200 8N1");
    COMMTIMEOUTS t{0, 0, 0, 0, 60000};
    SetCommTimeouts(h, &t);
    return h;
}

} // namespace

int main() {
    zv::TSimBoardOptions options;
    options.PortName = "SIMBENCH";
    options.Pacing = true;
    options.RunPrograms = false; // the transfer only
    zv::TSimBoard board(options);
    const HANDLE h = OpenSim();

    std::vector<std::uint8_t> image(kBytes);
    for (std::size_t i = 0; i < kBytes; ++i)
        image[i] = static_cast<std::uint8_t>((i * 131 + 7) & 0xFF);

    std::vector<double> ratios;
    double wallSum = 0;
    for (int round = 0; round < kRounds; ++round) {
        // Load mode: RTS off, a DTR pulse; the board stores what follows from address 0.
        board.ClearTranscript();
        EscapeCommFunction(h, CLRRTS);
        EscapeCommFunction(h, SETDTR);
        EscapeCommFunction(h, CLRDTR);
        const double cpu0 = CpuSeconds();
        const auto wall0 = Clock::now();
        DWORD written = 0;
        if (!WriteFile(h, image.data(), static_cast<DWORD>(image.size()), &written, nullptr) ||
            written != image.size())
            Fail("the write failed");
        // The write completes once its bytes have reached the board's end; the board has
        // them recorded once its reader took them.
        zv::TBoardState state;
        for (int wait = 0;; ++wait) {
            state = board.State();
            if (state.Loaded >= kBytes)
                break;
            if (wait == 2000)
                Fail("the board stored " + std::to_string(state.Loaded) + " bytes only");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        const double cpu = CpuSeconds() - cpu0;
        if (!std::equal(image.begin(), image.end(), state.Memory.begin()))
            Fail("the board stored other bytes than were sent");
        ratios.push_back(cpu / wall);
        wallSum += wall;
        std::printf("round %d: %zu bytes in %.3f s wall, %.4f s CPU, ratio %.4f\n", round + 1,
                    kBytes, wall, cpu, cpu / wall);
    }

    const double idleCpu0 = CpuSeconds();
    const auto idleWall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double idleRatio =
        (CpuSeconds() - idleCpu0) / std::chrono::duration<double>(Clock::now() - idleWall0).count();
    CloseHandle(h);

    std::printf("transfer at %lu bit/s: nominal %.3f s, measured %.3f s on average\n",
                static_cast<unsigned long>(kBaud), static_cast<double>(kBytes) * 10 / kBaud,
                wallSum / kRounds);
    std::printf("figure sim_download_cpu_ratio %.4f\n", Median(ratios));
    std::printf("figure sim_idle_cpu_ratio %.4f\n", idleRatio);
    return 0;
}
