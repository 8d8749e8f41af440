// A flood of console text into the terminal widget: 8 MiB written at the far end of a virtual
// line into a TComTerminal on an open port (offscreen, shown, repainting as it goes), against
// libvterm's screen layer on the same bytes in this process. Both are measured in CPU time of the
// process (all its threads), since on a loaded machine the wall clock measures the other
// programs too; the wall clock is printed beside it. While the flood runs, a 10 ms timer
// measures how late the event loop serves it: the window must stay responsive.
#include "bench/termcore/ConsoleStream.h"
#include "bench/termcore/VtermScreen.h"
#include "cport/ComPort.h"
#include "platform/VirtualLine.h"
#include "terminal/qt/ComTerminal.h"
#include "toolkit/qt/QtApplication.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kStreamSize = std::size_t{8} * 1024 * 1024;
constexpr std::size_t kChunk = 4096;
constexpr int kTimerMs = 10;
constexpr std::int32_t kInputSize = 64 * 1024;

double Percentile(std::vector<double> Values, double P) {
    if (Values.empty())
        return 0;
    std::sort(Values.begin(), Values.end());
    const auto index = static_cast<std::size_t>(P * static_cast<double>(Values.size() - 1));
    return Values[index];
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    zv::TQtApplication app(argc, argv);
    const std::string stream = zvbench::MakeConsoleStream(kStreamSize);

    // The reference first, on an otherwise idle process.
    const auto referenceStart = std::chrono::steady_clock::now();
    const std::clock_t referenceCpuStart = std::clock();
    const zvbench::VtermScreenTally reference = zvbench::RunVtermScreen(stream, kChunk);
    const double referenceCpu =
        static_cast<double>(std::clock() - referenceCpuStart) / CLOCKS_PER_SEC;
    const std::chrono::duration<double> referenceTime =
        std::chrono::steady_clock::now() - referenceStart;

    auto line = zv::VirtualLine::Create("ZVBENCHTERM");
    zv::TComPort port;
    port.SetPort(line->Name());
    port.SetEvents(zv::TComEvents{zv::evRxChar});
    // A program that expects floods gives the port room for them: each wake-up of the port then
    // hands the terminal up to this much instead of the default 1 KiB.
    port.Buffer()->SetInputSize(kInputSize);
    zv::TComTerminal terminal;
    terminal.resize(700, 420);
    terminal.show();
    terminal.SetComPort(&port);
    std::size_t received = 0;
    std::size_t blocks = 0;
    terminal.OnStrRecieved = [&](zv::TObject*, std::string& Str) {
        received += Str.size();
        ++blocks;
    };
    port.Open();

    std::vector<double> lateness;
    QElapsedTimer clock;
    clock.start();
    qint64 expected = kTimerMs;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        lateness.push_back(static_cast<double>(std::max<qint64>(now - expected, 0)));
        expected = now + kTimerMs;
    });
    tick.start(kTimerMs);

    // The far end writes as a peer would, in chunks, while the GUI thread runs its loop.
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    std::thread peer([&] {
        for (std::size_t at = 0; at < stream.size(); at += kChunk) {
            // Keep no more than a few chunks in flight: the line holds what it is given.
            while (line->PendingToNear() > 16 * kChunk)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            line->Write(stream.data() + at, std::min(kChunk, stream.size() - at));
        }
    });
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (received >= stream.size())
            app.quit();
    });
    done.start(5);
    app.exec();
    const std::chrono::duration<double> floodTime = std::chrono::steady_clock::now() - start;
    // All threads of the process: the peer, the port's event thread and the GUI thread.
    const double floodCpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    peer.join();
    tick.stop();
    port.Close();

    const double megabytes = static_cast<double>(stream.size()) / (1024.0 * 1024.0);
    std::printf("flood: %zu bytes of console text through a virtual line, %zu-byte writes, "
                "port input queue %d bytes\n",
                stream.size(), kChunk, static_cast<int>(kInputSize));
    std::printf("widget (peer, port, terminal, painting): %8.1f ms CPU %8.1f ms wall  "
                "%6.1f MB/s by CPU\n",
                floodCpu * 1e3, floodTime.count() * 1e3, megabytes / floodCpu);
    std::printf("libvterm screen layer:                   %8.1f ms CPU %8.1f ms wall  "
                "%6.1f MB/s by CPU (%llu damage calls)\n",
                referenceCpu * 1e3, referenceTime.count() * 1e3, megabytes / referenceCpu,
                static_cast<unsigned long long>(reference.damage));
    std::printf("received in %zu blocks (%.0f bytes each on average)\n", blocks,
                static_cast<double>(received) /
                    static_cast<double>(std::max<std::size_t>(blocks, 1)));
    std::printf("10 ms timer lateness: %zu ticks, p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                lateness.size(), Percentile(lateness, 0.5), Percentile(lateness, 0.99),
                Percentile(lateness, 1.0));
    // By CPU time: on a loaded machine the wall clock measures the other programs too.
    std::printf("figure widget_flood_mb_per_s %.1f\n", megabytes / floodCpu);
    std::printf("figure widget_flood_wall_mb_per_s %.1f\n", megabytes / floodTime.count());
    std::printf("figure widget_flood_ratio_vs_libvterm_screen %.2f\n", referenceCpu / floodCpu);
    std::printf("figure event_loop_lag_p99_ms %.1f\n", Percentile(lateness, 0.99));
    return 0;
}
