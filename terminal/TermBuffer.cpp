#include "terminal/TermBuffer.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace zv {

namespace {

constexpr int kTabInterval = 8;

// A pixel extent: Count cells of Size pixels, no more than Limit. Computed wide so that no
// product of hostile sizes overflows.
int pixelExtent(int Count, int Size, int Limit) {
    const std::int64_t wanted = std::int64_t{Count} * Size;
    const std::int64_t clamped = std::clamp<std::int64_t>(std::min<std::int64_t>(wanted, Limit), 0,
                                                          std::numeric_limits<int>::max());
    return static_cast<int>(clamped);
}

} // namespace

TComTermBuffer::TComTermBuffer(TTermBufferOwner* Owner) : FOwner(Owner) {}

TComTermBuffer::~TComTermBuffer() = default;

void TComTermBuffer::Init() {
    FCells.clear();
    FTabs.clear();
    FColumns = 0;
    FRows = 0;
    if (FOwner == nullptr)
        return;
    const int columns = std::max(FOwner->Columns(), 0);
    const int rows = std::max(FOwner->Rows(), 0);
    // Allocate first: on failure the buffer stays without cells rather than half-sized.
    std::vector<TComTermChar> cells(static_cast<std::size_t>(columns) *
                                    static_cast<std::size_t>(rows));
    std::vector<bool> tabs(static_cast<std::size_t>(columns), false);
    for (std::size_t x = 0; x < tabs.size(); x += kTabInterval)
        tabs[x] = true;
    FCells = std::move(cells);
    FTabs = std::move(tabs);
    FColumns = columns;
    FRows = rows;
}

void TComTermBuffer::SetChar(int X, int Y, const TComTermChar& Cell) {
    if (Contains(X, Y))
        Row(Y)[X - 1] = Cell;
}

TComTermChar TComTermBuffer::GetChar(int X, int Y) const {
    if (!Contains(X, Y))
        return {};
    return Row(Y)[X - 1];
}

void TComTermBuffer::ScrollDown() {
    if (FRows < 1 || FColumns < 1)
        return;
    std::copy(Row(2), Row(FRows) + FColumns, Row(1));
    EraseCells(1, FRows, FColumns);
    AfterScroll(-1);
}

void TComTermBuffer::ScrollUp() {
    if (FRows < 1 || FColumns < 1)
        return;
    std::copy_backward(Row(1), Row(FRows), Row(FRows) + FColumns);
    EraseCells(1, 1, FColumns);
    AfterScroll(+1);
}

void TComTermBuffer::AfterScroll(int Direction) {
    if (FOwner == nullptr)
        return;
    if (FOwner->DoubleBuffered()) {
        FOwner->Invalidate();
        return;
    }
    const int height = FOwner->CharHeight();
    const TTermRect area{0, 0, pixelExtent(FColumns, FOwner->CharWidth(), FOwner->ClientWidth()),
                         pixelExtent(FRows, height, FOwner->ClientHeight())};
    FOwner->ScrollContent(0, Direction * height, area);
}

void TComTermBuffer::EraseCells(int X, int Y, int Count) {
    std::fill_n(Row(Y) + (X - 1), Count, TComTermChar{});
}

void TComTermBuffer::EraseLine(int X, int Y) {
    if (Y < 1 || Y > FRows)
        return;
    X = std::max(X, 1);
    if (X > FColumns)
        return;
    EraseCells(X, Y, FColumns - X + 1);
    if (FOwner == nullptr)
        return;
    if (FOwner->DoubleBuffered())
        FOwner->Invalidate();
    else
        FOwner->InvalidatePortion({X, Y, FColumns, Y});
}

void TComTermBuffer::EraseScreen(int X, int Y) {
    if (Y > FRows || FColumns < 1)
        return;
    if (Y < 1) {
        // A point above the grid: everything below it is the whole grid.
        X = 1;
        Y = 1;
    }
    X = std::max(X, 1);
    const bool lineErased = X <= FColumns;
    if (lineErased)
        EraseCells(X, Y, FColumns - X + 1);
    const bool rowsBelow = Y < FRows;
    if (rowsBelow)
        std::fill(Row(Y + 1), Row(FRows) + FColumns, TComTermChar{});
    if (FOwner == nullptr || (!lineErased && !rowsBelow))
        return;
    if (FOwner->DoubleBuffered()) {
        FOwner->Invalidate();
        return;
    }
    if (lineErased)
        FOwner->InvalidatePortion({X, Y, FColumns, Y});
    if (rowsBelow)
        FOwner->InvalidatePortion({1, Y + 1, FColumns, FRows});
}

bool TComTermBuffer::GetTab(int X) const {
    return X >= 1 && X <= FColumns && FTabs[static_cast<std::size_t>(X - 1)];
}

void TComTermBuffer::SetTab(int X, bool Value) {
    if (X >= 1 && X <= FColumns)
        FTabs[static_cast<std::size_t>(X - 1)] = Value;
}

int TComTermBuffer::NextTab(int X) const {
    for (int x = std::max(X, 1); x <= FColumns; ++x)
        if (FTabs[static_cast<std::size_t>(x - 1)])
            return x;
    return 0;
}

void TComTermBuffer::ClearAllTabs() {
    std::fill(FTabs.begin(), FTabs.end(), false);
}

int TComTermBuffer::GetLineLength(int Y) const {
    if (Y < 1 || Y > FRows)
        return 0;
    const TComTermChar* row = Row(Y);
    for (int x = FColumns; x >= 1; --x)
        if (row[x - 1].Ch != 0)
            return x;
    return 0;
}

int TComTermBuffer::GetLastLine() const {
    for (int y = FRows; y >= 1; --y)
        if (GetLineLength(y) > 0)
            return y;
    return 0;
}

} // namespace zv
