// The stream over a port on a line: reads and writes go to the port, exact-count
// transfers fail on a short count, and the stream has no position.
#include "cport/ComStream.h"
#include "PortTestSupport.h"
#include "toolkit/Exception.h"

#include <gtest/gtest.h>

#include <cstring>

namespace zv {
namespace {

using namespace test;

class ComStream : public LineTest {};

// A port without an event thread, so received bytes stay queued until the stream reads them.
struct StreamLine : LinePort {
    TComStream stream{port.get()};
    StreamLine() : LinePort(smThreadSync, TComEvents{}) { port->Open(); }

    void Arrive(std::string_view bytes) {
        line->Write(bytes);
        ASSERT_TRUE(PumpUntil(
            [&] { return port->InputCount() >= static_cast<std::int32_t>(bytes.size()); }));
    }
};

TEST_F(ComStream, ReadsAndWritesGoThroughThePort) {
    StreamLine s;
    s.stream.WriteBuffer("hello", 5);
    EXPECT_EQ(s.line->ReadString(5, Patience), "hello");

    s.Arrive("abcdef");
    char buf[8] = {};
    s.stream.ReadBuffer(buf, 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    // The time-outs return what has arrived: a short read answers the smaller count...
    EXPECT_EQ(s.stream.Read(buf, 8), 2);
    EXPECT_EQ(std::string(buf, 2), "ef");
    // ...and an exact-count read fails on it.
    s.Arrive("xy");
    EXPECT_THROW(s.stream.ReadBuffer(buf, 3), EReadError);

    // Zero counts go to the port and come back as zero.
    EXPECT_EQ(s.stream.Read(buf, 0), 0);
    EXPECT_EQ(s.stream.Write(buf, 0), 0);
    EXPECT_EQ(s.line->Available(), 0u);
}

TEST_F(ComStream, HasNoPositionAndNoSize) {
    StreamLine s;
    s.Arrive("abc");
    s.stream.SetPosition(2);
    EXPECT_EQ(s.stream.Position(), 0);
    EXPECT_EQ(s.stream.Size(), 0);
    EXPECT_EQ(s.stream.Seek(5, TSeekOrigin::soEnd), 0);
    EXPECT_EQ(s.stream.Seek(-5, TSeekOrigin::soCurrent), 0);
    char buf[3];
    s.stream.ReadBuffer(buf, 3); // seeking skipped nothing
    EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(ComStream, PortErrorsPassThrough) {
    StreamLine s;
    char buf[4] = {};
    auto code = [](auto&& call) {
        try {
            call();
        } catch (const EComPort& e) {
            return e.ErrorCode();
        }
        return 0;
    };
    // A negative count is refused by the port as an invalid request.
    EXPECT_EQ(code([&] { s.stream.Read(buf, -1); }), CError_InvalidAsync);
    s.port->Close();
    EXPECT_EQ(code([&] { s.stream.Read(buf, 4); }), CError_ReadFailed);
    EXPECT_EQ(code([&] { s.stream.Write(buf, 4); }), CError_WriteFailed);
}

} // namespace
} // namespace zv
