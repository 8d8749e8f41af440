// The terminal's screen buffer: a grid of character cells, one per column and row, and the row of
// tab stops. It stores, scrolls and erases cells and, after each change that moves or erases
// cells, asks its owner (the terminal control) to bring the window up to date.
#pragma once

#include <cstdint>
#include <vector>

namespace zv {

// A colour value of the toolkit: 0x00BBGGRR.
using TTermColor = std::uint32_t;

// One screen cell. An erased cell has every field zero; Ch = 0 is an empty cell, not painted.
struct TComTermChar {
    char Ch = 0;
    TTermColor FrontColor = 0;
    TTermColor BackColor = 0;
    bool Underline = false;

    friend bool operator==(const TComTermChar&, const TComTermChar&) = default;
};

// A rectangle. Pixel rectangles exclude their right and bottom edges (as window rectangles do);
// cell rectangles include them (left column, top row, right column, bottom row).
struct TTermRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;

    friend bool operator==(const TTermRect&, const TTermRect&) = default;
};

// What the buffer needs from the terminal control that owns it: the grid size, the cell and
// client sizes in pixels, and three window requests. The terminal widget implements this; tests
// use a recording fake.
class TTermBufferOwner {
public:
    virtual ~TTermBufferOwner() = default;

    virtual int Columns() const = 0;
    virtual int Rows() const = 0;
    virtual int CharWidth() const = 0;
    virtual int CharHeight() const = 0;
    virtual int ClientWidth() const = 0;
    virtual int ClientHeight() const = 0;
    // A double-buffered control repaints whole instead of moving pixels.
    virtual bool DoubleBuffered() const = 0;

    // Move the pixels inside Scroll (a pixel rectangle) by DX, DY; the strip the move uncovers
    // is invalidated with background erase (ScrollWindowEx with SW_INVALIDATE | SW_ERASE, no
    // clip rectangle).
    virtual void ScrollContent(int DX, int DY, const TTermRect& Scroll) = 0;
    // Repaint the buffer cells of Cells (inclusive cell rectangle, buffer coordinates).
    virtual void InvalidatePortion(const TTermRect& Cells) = 0;
    // Repaint the whole control.
    virtual void Invalidate() = 0;
};

class TComTermBuffer {
public:
    // Remembers the owner; allocates nothing until Init.
    explicit TComTermBuffer(TTermBufferOwner* Owner);
    TComTermBuffer(const TComTermBuffer&) = delete;
    TComTermBuffer& operator=(const TComTermBuffer&) = delete;
    ~TComTermBuffer();

    // Discards all content and sizes the buffer to the owner's Columns x Rows of this moment:
    // every cell erased, tab stops at columns 1, 9, 17, ...
    void Init();

    // Cell access. Coordinates count from 1. A coordinate outside the grid sized by the last
    // Init is ignored by the setters and reads as an erased cell / no stop.
    void SetChar(int X, int Y, const TComTermChar& Cell);
    TComTermChar GetChar(int X, int Y) const;

    // ScrollDown: every row moves up one, row 1 is lost, the last row is erased.
    // ScrollUp: every row moves down one, the last row is lost, row 1 is erased.
    void ScrollDown();
    void ScrollUp();
    // Erase from (X, Y) to the end of row Y; EraseScreen also erases every row below.
    void EraseLine(int X, int Y);
    void EraseScreen(int X, int Y);

    bool GetTab(int X) const;
    void SetTab(int X, bool Value);
    // The first column at or after X that has a stop; 0 when there is none up to Columns.
    int NextTab(int X) const;
    void ClearAllTabs();

    // The highest column of row Y that holds a character (0 for an empty row); empty cells
    // before it count as part of the line.
    int GetLineLength(int Y) const;
    // The highest row whose line length is above 0; 0 for an empty buffer.
    int GetLastLine() const;

    TTermBufferOwner* Owner() const { return FOwner; }
    // The grid of the last Init (0 x 0 before the first).
    int Columns() const { return FColumns; }
    int Rows() const { return FRows; }

private:
    bool Contains(int X, int Y) const { return X >= 1 && X <= FColumns && Y >= 1 && Y <= FRows; }
    TComTermChar* Row(int Y) { return FCells.data() + (Y - 1) * FColumns; }
    const TComTermChar* Row(int Y) const { return FCells.data() + (Y - 1) * FColumns; }
    void EraseCells(int X, int Y, int Count);
    void AfterScroll(int Direction);

    TTermBufferOwner* FOwner;
    // The grid is indexed with the size it was allocated with, never with the owner's size of
    // the moment, so a caller that changes Columns or Rows and forgets Init cannot make the
    // buffer read or write outside its cells.
    int FColumns = 0;
    int FRows = 0;
    std::vector<TComTermChar> FCells;
    std::vector<bool> FTabs;
};

} // namespace zv
