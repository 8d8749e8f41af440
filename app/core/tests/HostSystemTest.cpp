#include "app/core/HostSystem.h"

#include <gtest/gtest.h>

#include <csignal>

namespace zv {
namespace {

#ifndef _WIN32
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

} // namespace
} // namespace zv
