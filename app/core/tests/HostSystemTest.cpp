#include "app/core/HostSystem.h"

#include <gtest/gtest.h>

#include <csignal>

#ifdef _WIN32
#include "app/core/BoardSettings.h"
#include "app/core/Download.h"
#include "cport/ComPort.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#endif

#ifndef _WIN32
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#endif

namespace zv {
namespace {

#ifndef _WIN32
using namespace std::chrono_literals;
int otherHandlerCalls = 0;

// A stop request sets the event, not the end of the process; once the catcher is gone the
// handling the program had before is back.
TEST(HostSystem, StopRequestsSetTheEventWhileCaught) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        struct sigaction other {};
        struct sigaction saved {};
        other.sa_handler = [](int) { ++otherHandlerCalls; };
        sigemptyset(&other.sa_mask);
        ASSERT_EQ(::sigaction(signal, &other, &saved), 0);
        const HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stop, nullptr);
        {
            const auto caught = CatchStopRequests(stop);
            EXPECT_EQ(WaitForSingleObject(stop, 0), static_cast<DWORD>(WAIT_TIMEOUT));
            ASSERT_EQ(::raise(signal), 0);
            EXPECT_EQ(WaitForSingleObject(stop, 5000), WAIT_OBJECT_0);
        }
        otherHandlerCalls = 0;
        ASSERT_EQ(::raise(signal), 0);
        EXPECT_EQ(otherHandlerCalls, 1);
        CloseHandle(stop);
        ::sigaction(signal, &saved, nullptr);
    }
}

// A stop request arriving while the program is blocked writing its output (a pipe whose reader
// is behind) does not turn into a failed write.
TEST(HostSystem, AStopRequestDoesNotFailABlockedWrite) {
    const HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(stop, nullptr);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(fds[1], block.data(), block.size()) > 0) {
    }
    ::fcntl(fds[1], F_SETFL, 0);
    {
        const auto caught = CatchStopRequests(stop);
        const pthread_t writer = ::pthread_self();
        std::thread reader([&] {
            std::this_thread::sleep_for(100ms);
            ::pthread_kill(writer, SIGINT);
            std::this_thread::sleep_for(100ms);
            std::vector<char> sink(65536);
            [[maybe_unused]] const ssize_t n = ::read(fds[0], sink.data(), sink.size());
        });
        const ssize_t written = ::write(fds[1], "y", 1);
        const int error = errno;
        reader.join();
        EXPECT_EQ(written, 1) << std::strerror(error);
        EXPECT_EQ(WaitForSingleObject(stop, 5000), WAIT_OBJECT_0);
    }
    ::close(fds[0]);
    ::close(fds[1]);
    CloseHandle(stop);
}
#endif

TEST(HostSystem, TheLocalBoardRunsWhereItIsAvailable) {
    if (LocalBoardAvailable()) {
        const auto board = StartLocalBoard("ZVHOSTSIM", false);
        ASSERT_NE(board, nullptr);
        EXPECT_EQ(board->PortName(), "ZVHOSTSIM");
        // One name, one board.
        EXPECT_THROW(StartLocalBoard("ZVHOSTSIM", false), std::runtime_error);
    } else {
        EXPECT_THROW(StartLocalBoard(), ENoLocalBoard);
    }
}

#ifdef _WIN32
// The settings are the user's: a bare file name lies in %APPDATA%\zelvator, which a store makes,
// and not in the Windows folder, which a user cannot write.
TEST(HostSystem, SettingsLieInTheUsersApplicationData) {
    namespace fs = std::filesystem;
    const fs::path appData =
        fs::temp_directory_path() / ("zapp_core_appdata_" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(appData);
    fs::create_directories(appData);
    const char* before = std::getenv("APPDATA");
    const std::string kept = before != nullptr ? before : "";
    ASSERT_EQ(_putenv_s("APPDATA", appData.string().c_str()), 0);
    const fs::path file = appData / "zelvator" / BoardSettingsFileName;
    EXPECT_EQ(BoardSettingsPath(), file.string());

    TComPort stored;
    ConfigureBoardPort(stored);
    stored.SetName(BoardPortName);
    stored.SetPort("COM7");
    stored.SetBaudRate(br19200);
    EXPECT_NO_THROW(StoreBoardSettings(stored));
    std::vector<fs::path> made;
    for (const auto& entry : fs::recursive_directory_iterator(appData))
        if (!entry.is_directory())
            made.push_back(entry.path());
    EXPECT_EQ(made, std::vector<fs::path>{file});

    TComPort loaded;
    ConfigureBoardPort(loaded);
    loaded.SetName(BoardPortName);
    const TBoardSettingsLoad result = LoadBoardSettings(loaded);
    EXPECT_EQ(result.State, bsLoaded) << result.Problem;
    EXPECT_EQ(loaded.Port(), "COM7");
    EXPECT_EQ(loaded.BaudRate(), br19200);

    _putenv_s("APPDATA", kept.c_str());
    fs::remove_all(appData);
}
#endif

} // namespace
} // namespace zv
