// The screen buffer against a recording owner: content, scrolling, erasing, tab stops, line
// lengths and the window requests each change makes.
#include "terminal/TermBuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace zv {
namespace {

std::string rect(const TTermRect& R) {
    return "[" + std::to_string(R.Left) + "," + std::to_string(R.Top) + "," +
           std::to_string(R.Right) + "," + std::to_string(R.Bottom) + "]";
}

class FakeOwner : public TTermBufferOwner {
public:
    int columns = 80;
    int rows = 24;
    int charWidth = 8;
    int charHeight = 16;
    int clientWidth = 1000;
    int clientHeight = 1000;
    bool doubleBuffered = false;
    std::vector<std::string> requests;

    int Columns() const override { return columns; }
    int Rows() const override { return rows; }
    int CharWidth() const override { return charWidth; }
    int CharHeight() const override { return charHeight; }
    int ClientWidth() const override { return clientWidth; }
    int ClientHeight() const override { return clientHeight; }
    bool DoubleBuffered() const override { return doubleBuffered; }
    void ScrollContent(int DX, int DY, const TTermRect& Scroll) override {
        requests.push_back("scroll " + std::to_string(DX) + "," + std::to_string(DY) + " " +
                           rect(Scroll));
    }
    void InvalidatePortion(const TTermRect& Cells) override {
        requests.push_back("portion " + rect(Cells));
    }
    void Invalidate() override { requests.push_back("invalidate"); }

    std::vector<std::string> take() { return std::exchange(requests, {}); }
};

using Requests = std::vector<std::string>;

TComTermChar cell(char Ch) {
    return TComTermChar{Ch, 0x00FFFFFF, 0x00000080, true};
}

class TermBufferTest : public ::testing::Test {
protected:
    TermBufferTest() { buffer.Init(); }

    // Writes Text into row Y from column X.
    void put(int X, int Y, const std::string& Text) {
        for (const char ch : Text)
            buffer.SetChar(X++, Y, cell(ch));
    }
    // Row Y as text, an empty cell as '.', up to its line length.
    std::string row(int Y) const {
        std::string out;
        for (int x = 1; x <= buffer.GetLineLength(Y); ++x) {
            const char ch = buffer.GetChar(x, Y).Ch;
            out += ch == 0 ? '.' : ch;
        }
        return out;
    }

    FakeOwner owner;
    TComTermBuffer buffer{&owner};
};

TEST_F(TermBufferTest, InitGivesErasedCellsAndAStopEveryEighthColumn) {
    EXPECT_EQ(buffer.Columns(), 80);
    EXPECT_EQ(buffer.Rows(), 24);
    EXPECT_EQ(buffer.GetLastLine(), 0);
    EXPECT_EQ(buffer.GetChar(80, 24), TComTermChar{});
    std::vector<int> stops;
    for (int x = 1; x <= 80; ++x)
        if (buffer.GetTab(x))
            stops.push_back(x);
    EXPECT_EQ(stops, (std::vector<int>{1, 9, 17, 25, 33, 41, 49, 57, 65, 73}));
    EXPECT_TRUE(owner.requests.empty());
}

TEST_F(TermBufferTest, NextTab) {
    buffer.SetTab(40, true);
    buffer.SetTab(49, false);
    struct Row {
        int from;
        int expected;
    };
    const std::vector<Row> rows = {
        {1, 1},  {2, 9},  {9, 9},       {34, 40}, {41, 41},     {42, 57}, {74, 0},
        {80, 0}, {81, 0}, {INT_MAX, 0}, {0, 1},   {INT_MIN, 1}, // a column left of the grid
                                                                // searches from column 1
    };
    for (const auto& r : rows)
        EXPECT_EQ(buffer.NextTab(r.from), r.expected) << "from " << r.from;
    buffer.ClearAllTabs();
    for (int x = 1; x <= 80; ++x)
        ASSERT_FALSE(buffer.GetTab(x));
    EXPECT_EQ(buffer.NextTab(1), 0);
}

TEST_F(TermBufferTest, CellsKeepEveryField) {
    const TComTermChar c{'x', 0x123456, 0x654321, true};
    buffer.SetChar(7, 3, c);
    EXPECT_EQ(buffer.GetChar(7, 3), c);
    EXPECT_EQ(buffer.GetChar(8, 3), TComTermChar{});
    EXPECT_EQ(buffer.GetChar(7, 4), TComTermChar{});
}

TEST_F(TermBufferTest, LineLengthsCountEmptyCellsBeforeTheLastCharacter) {
    put(5, 3, "a");
    EXPECT_EQ(buffer.GetLineLength(3), 5);
    EXPECT_EQ(row(3), "....a");
    EXPECT_EQ(buffer.GetLineLength(2), 0);
    EXPECT_EQ(buffer.GetLastLine(), 3);
    put(80, 24, "z");
    EXPECT_EQ(buffer.GetLineLength(24), 80);
    EXPECT_EQ(buffer.GetLastLine(), 24);
    // A space is a character; only Ch = 0 is empty.
    put(1, 10, " ");
    EXPECT_EQ(buffer.GetLineLength(10), 1);
}

TEST_F(TermBufferTest, ScrollDownMovesRowsUpAndErasesTheLast) {
    put(1, 1, "first");
    put(1, 2, "second");
    put(1, 24, "bottom");
    buffer.ScrollDown();
    EXPECT_EQ(row(1), "second");
    EXPECT_EQ(row(23), "bottom");
    EXPECT_EQ(row(24), "");
    EXPECT_EQ(buffer.GetLastLine(), 23);
    EXPECT_EQ(buffer.GetChar(1, 23), cell('b'));
    EXPECT_EQ(owner.take(), (Requests{"scroll 0,-16 [0,0,640,384]"}));
}

TEST_F(TermBufferTest, ScrollUpMovesRowsDownAndErasesTheFirst) {
    put(1, 1, "first");
    put(1, 23, "lost?");
    put(1, 24, "lost");
    buffer.ScrollUp();
    EXPECT_EQ(row(1), "");
    EXPECT_EQ(row(2), "first");
    EXPECT_EQ(row(24), "lost?");
    EXPECT_EQ(buffer.GetLastLine(), 24);
    EXPECT_EQ(owner.take(), (Requests{"scroll 0,16 [0,0,640,384]"}));
}

TEST_F(TermBufferTest, ScrollsLeaveTabStopsInPlace) {
    buffer.SetTab(5, true);
    buffer.ScrollDown();
    buffer.ScrollUp();
    EXPECT_TRUE(buffer.GetTab(5));
    EXPECT_TRUE(buffer.GetTab(9));
}

TEST_F(TermBufferTest, ScrollRequestFollowsClientSizeAndDoubleBuffering) {
    struct Row {
        int clientWidth, clientHeight;
        bool doubleBuffered;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {1000, 1000, false, "scroll 0,-16 [0,0,640,384]"},
        {300, 200, false, "scroll 0,-16 [0,0,300,200]"}, // a window smaller than the grid
        {0, 0, false, "scroll 0,-16 [0,0,0,0]"},
        {-5, -5, false, "scroll 0,-16 [0,0,0,0]"},
        {1000, 1000, true, "invalidate"},
    };
    for (const auto& r : rows) {
        owner.clientWidth = r.clientWidth;
        owner.clientHeight = r.clientHeight;
        owner.doubleBuffered = r.doubleBuffered;
        buffer.ScrollDown();
        EXPECT_EQ(owner.take(), (Requests{r.expected}));
    }
}

TEST_F(TermBufferTest, EraseLineErasesFromTheColumnToTheEnd) {
    put(1, 5, "0123456789");
    buffer.EraseLine(4, 5);
    EXPECT_EQ(row(5), "012");
    EXPECT_EQ(owner.take(), (Requests{"portion [4,5,80,5]"}));
    buffer.EraseLine(1, 5);
    EXPECT_EQ(row(5), "");
    EXPECT_EQ(owner.take(), (Requests{"portion [1,5,80,5]"}));
    owner.doubleBuffered = true;
    buffer.EraseLine(1, 5);
    EXPECT_EQ(owner.take(), (Requests{"invalidate"}));
}

TEST_F(TermBufferTest, EraseScreenErasesFromThePointToTheEnd) {
    for (int y = 1; y <= 24; ++y)
        put(1, y, "line");
    buffer.EraseScreen(3, 10);
    EXPECT_EQ(row(9), "line");
    EXPECT_EQ(row(10), "li");
    EXPECT_EQ(buffer.GetLastLine(), 10);
    EXPECT_EQ(owner.take(), (Requests{"portion [3,10,80,10]", "portion [1,11,80,24]"}));
    buffer.EraseScreen(2, 24); // bottom row: nothing below
    EXPECT_EQ(owner.take(), (Requests{"portion [2,24,80,24]"}));
    buffer.EraseScreen(1, 1);
    EXPECT_EQ(buffer.GetLastLine(), 0);
    EXPECT_EQ(owner.take(), (Requests{"portion [1,1,80,1]", "portion [1,2,80,24]"}));
    owner.doubleBuffered = true;
    buffer.EraseScreen(1, 1);
    EXPECT_EQ(owner.take(), (Requests{"invalidate"}));
}

TEST_F(TermBufferTest, ReinitAfterASizeChangeDropsContent) {
    put(1, 1, "text");
    buffer.SetTab(3, true);
    owner.columns = 132;
    owner.rows = 50;
    buffer.Init();
    EXPECT_EQ(buffer.Columns(), 132);
    EXPECT_EQ(buffer.Rows(), 50);
    EXPECT_EQ(buffer.GetLastLine(), 0);
    EXPECT_FALSE(buffer.GetTab(3));
    EXPECT_TRUE(buffer.GetTab(129));
    EXPECT_EQ(buffer.NextTab(130), 0);
    put(132, 50, "x");
    EXPECT_EQ(buffer.GetLastLine(), 50);
    EXPECT_EQ(buffer.GetLineLength(50), 132);
}

// Coordinates from the line pass through the terminal's clamping, but the buffer itself never
// reads or writes outside its cells, whatever it is given.
TEST_F(TermBufferTest, CoordinatesOutsideTheGridAreHarmless) {
    const std::vector<std::pair<int, int>> outside = {
        {0, 1}, {81, 1}, {1, 0}, {1, 25}, {-1, -1}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}};
    for (const auto& [x, y] : outside) {
        buffer.SetChar(x, y, cell('!'));
        EXPECT_EQ(buffer.GetChar(x, y), TComTermChar{});
        if (x < 1 || x > 80) {
            buffer.SetTab(x, true);
            EXPECT_FALSE(buffer.GetTab(x)) << x;
        }
        EXPECT_EQ(buffer.GetLineLength(y), 0);
    }
    EXPECT_EQ(buffer.GetLastLine(), 0);

    put(1, 3, "abc");
    buffer.EraseLine(INT_MIN, 3); // left of the grid: the whole row
    EXPECT_EQ(row(3), "");
    EXPECT_EQ(owner.take(), (Requests{"portion [1,3,80,3]"}));
    put(1, 3, "abc");
    buffer.EraseLine(81, 3); // right of the grid: nothing
    buffer.EraseLine(1, 25);
    buffer.EraseLine(1, INT_MIN);
    EXPECT_EQ(row(3), "abc");
    EXPECT_TRUE(owner.take().empty());

    buffer.EraseScreen(81, 2); // nothing on row 2, every row below
    EXPECT_EQ(buffer.GetLastLine(), 0);
    EXPECT_EQ(owner.take(), (Requests{"portion [1,3,80,24]"}));
    put(1, 1, "top");
    buffer.EraseScreen(5, INT_MIN); // above the grid: everything
    EXPECT_EQ(buffer.GetLastLine(), 0);
    EXPECT_EQ(owner.take(), (Requests{"portion [1,1,80,1]", "portion [1,2,80,24]"}));
    buffer.EraseScreen(INT_MAX, INT_MAX);
    buffer.EraseScreen(81, 24);
    EXPECT_TRUE(owner.take().empty());
}

TEST_F(TermBufferTest, AnOwnerThatResizesWithoutInitCannotMakeTheBufferOverrun) {
    owner.columns = 256;
    owner.rows = 100;
    buffer.SetChar(200, 90, cell('x'));
    EXPECT_EQ(buffer.GetChar(200, 90), TComTermChar{});
    buffer.EraseScreen(1, 1);
    buffer.ScrollDown();
    buffer.ScrollUp();
    EXPECT_EQ(buffer.NextTab(75), 0);
    EXPECT_EQ(buffer.Columns(), 80);
}

TEST(TermBuffer, BeforeInitEverythingIsEmptyAndSilent) {
    FakeOwner owner;
    TComTermBuffer buffer(&owner);
    buffer.SetChar(1, 1, cell('x'));
    EXPECT_EQ(buffer.GetChar(1, 1), TComTermChar{});
    buffer.ScrollDown();
    buffer.ScrollUp();
    buffer.EraseLine(1, 1);
    buffer.EraseScreen(1, 1);
    buffer.ClearAllTabs();
    EXPECT_FALSE(buffer.GetTab(1));
    EXPECT_EQ(buffer.NextTab(1), 0);
    EXPECT_EQ(buffer.GetLastLine(), 0);
    EXPECT_TRUE(owner.requests.empty());
}

TEST(TermBuffer, SmallestGrid) {
    FakeOwner owner;
    owner.columns = 2;
    owner.rows = 2;
    TComTermBuffer buffer(&owner);
    buffer.Init();
    EXPECT_TRUE(buffer.GetTab(1));
    EXPECT_FALSE(buffer.GetTab(2));
    buffer.SetChar(2, 2, cell('b'));
    buffer.ScrollDown();
    EXPECT_EQ(buffer.GetChar(2, 1), cell('b'));
    EXPECT_EQ(buffer.GetLastLine(), 1);
    buffer.ScrollUp();
    EXPECT_EQ(buffer.GetChar(2, 2), cell('b'));
    EXPECT_EQ(buffer.GetLineLength(1), 0);
}

} // namespace
} // namespace zv
