#include "toolkit/Stream.h"
#include "toolkit/Exception.h"

#include <gtest/gtest.h>

#include <string>

namespace zv {
namespace {

TEST(MemoryStream, ReadsWritesAndSeeksLikeAFile) {
    TMemoryStream S;
    S.WriteBuffer("hello", 5);
    EXPECT_EQ(S.Size(), 5);
    EXPECT_EQ(S.Position(), 5);

    char Buf[8] = {};
    S.SetPosition(1);
    EXPECT_EQ(S.Read(Buf, 8), 4); // short read at the end
    EXPECT_EQ(std::string(Buf, 4), "ello");
    EXPECT_EQ(S.Read(Buf, 8), 0);

    EXPECT_EQ(S.Seek(-2, TSeekOrigin::soEnd), 3);
    EXPECT_EQ(S.Seek(-10, TSeekOrigin::soCurrent), 0); // clamped at the start
    S.SetPosition(7);                                  // past the end: a write fills the gap
    S.WriteBuffer("!", 1);
    EXPECT_EQ(S.Size(), 8);
    EXPECT_EQ(S.Data()[5], 0);
    EXPECT_EQ(S.Data()[7], '!');
}

TEST(MemoryStream, ExactTransfersRaiseOnAShortCount) {
    TMemoryStream S;
    S.WriteBuffer("ab", 2);
    S.SetPosition(0);
    char Buf[4];
    EXPECT_THROW(S.ReadBuffer(Buf, 3), EReadError);
    S.SetPosition(0);
    EXPECT_NO_THROW(S.ReadBuffer(Buf, 2));
    EXPECT_NO_THROW(S.ReadBuffer(Buf, 0));
}

} // namespace
} // namespace zv
