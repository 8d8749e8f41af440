// Parser results mapped onto the screen buffer the way the terminal control does it: characters
// at the caret, control bytes advancing it, codes moving it (computed wide, then clamped),
// erasing, scrolling, tab stops, re-sizing. The owner checks that every window request the
// buffer makes lies inside the grid. The first bytes of the input choose the dialect, the grid
// and the owner's flags.
#include "fuzz/termcore/FuzzCheck.h"
#include "terminal/EscapeCodes.h"
#include "terminal/TermBuffer.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace {

class CheckingOwner : public zv::TTermBufferOwner {
public:
    int columns = 80;
    int rows = 24;
    bool doubleBuffered = false;

    int Columns() const override { return columns; }
    int Rows() const override { return rows; }
    int CharWidth() const override { return 8; }
    int CharHeight() const override { return 16; }
    int ClientWidth() const override { return 333; }
    int ClientHeight() const override { return 777; }
    bool DoubleBuffered() const override { return doubleBuffered; }
    void ScrollContent(int DX, int DY, const zv::TTermRect& Scroll) override {
        ZV_FUZZ_CHECK(DX == 0 && (DY == 16 || DY == -16));
        ZV_FUZZ_CHECK(Scroll.Left == 0 && Scroll.Top == 0);
        ZV_FUZZ_CHECK(Scroll.Right == std::min(columns * 8, 333));
        ZV_FUZZ_CHECK(Scroll.Bottom == std::min(rows * 16, 777));
    }
    void InvalidatePortion(const zv::TTermRect& Cells) override {
        ZV_FUZZ_CHECK(1 <= Cells.Left && Cells.Left <= Cells.Right && Cells.Right <= columns);
        ZV_FUZZ_CHECK(1 <= Cells.Top && Cells.Top <= Cells.Bottom && Cells.Bottom <= rows);
    }
    void Invalidate() override { ZV_FUZZ_CHECK(doubleBuffered); }
};

int clampTo(std::int64_t Value, int Low, int High) {
    return static_cast<int>(std::clamp<std::int64_t>(Value, Low, High));
}

class Driver {
public:
    Driver(CheckingOwner& Owner, zv::TEscapeCodes& Parser, bool Wrap)
        : owner(Owner), parser(Parser), wrap(Wrap), buffer(&Owner) {
        buffer.Init();
    }

    void Write(char Ch) {
        switch (parser.ProcessChar(Ch)) {
        case zv::erChar:
            PutChar(parser.Character());
            break;
        case zv::erCode:
            PutEscapeCode(parser.Code(), parser.Params());
            parser.Params().clear();
            break;
        case zv::erNothing:
            break;
        }
        ZV_FUZZ_CHECK(1 <= x && x <= owner.columns && 1 <= y && y <= owner.rows);
    }

    // The same through text runs, as a terminal that takes plain characters in blocks does.
    void WriteBlock(const char* Bytes, std::size_t Count) {
        std::size_t at = 0;
        while (at < Count) {
            const std::size_t text = parser.ProcessText(Bytes + at, Count - at);
            for (std::size_t i = 0; i < text; ++i)
                PutChar(Bytes[at + i]);
            at += text;
            if (at < Count)
                Write(Bytes[at++]);
        }
    }

    void Finish() {
        const int last = buffer.GetLastLine();
        ZV_FUZZ_CHECK(0 <= last && last <= owner.rows);
        for (int row = 1; row <= last; ++row) {
            const int length = buffer.GetLineLength(row);
            ZV_FUZZ_CHECK(0 <= length && length <= owner.columns);
            if (length > 0)
                ZV_FUZZ_CHECK(buffer.GetChar(length, row).Ch != 0);
        }
    }

private:
    void MoveCaret(std::int64_t X, std::int64_t Y) {
        x = clampTo(X, 1, owner.columns);
        y = clampTo(Y, 1, owner.rows);
    }

    void LineFeed() {
        if (y == owner.rows)
            buffer.ScrollDown();
        else
            ++y;
    }

    void PutChar(char Ch) {
        switch (Ch) {
        case '\b':
            MoveCaret(std::int64_t{x} - 1, y);
            return;
        case '\t':
            if (const int next = buffer.NextTab(x + 1); next != 0)
                x = next;
            return;
        case '\n':
        case '\f':
            LineFeed();
            return;
        case '\r':
            x = 1;
            return;
        default:
            break;
        }
        if (static_cast<unsigned char>(Ch) < 32)
            return;
        buffer.SetChar(x, y, zv::TComTermChar{Ch, 0xFFFFFF, 0, underline});
        ZV_FUZZ_CHECK(buffer.GetChar(x, y).Ch == Ch);
        if (x < owner.columns) {
            ++x;
        } else if (wrap) {
            x = 1;
            LineFeed();
        }
    }

    void PutEscapeCode(zv::TEscapeCode Code, zv::TEscapeParams& Params) {
        const std::int64_t p1 = zv::TEscapeCodes::GetParam(1, &Params);
        const std::int64_t p2 = zv::TEscapeCodes::GetParam(2, &Params);
        switch (Code) {
        case zv::ecCursorUp:
        case zv::ecAppCursorUp:
            MoveCaret(x, y - p1);
            break;
        case zv::ecCursorDown:
        case zv::ecAppCursorDown:
            MoveCaret(x, y + p1);
            break;
        case zv::ecCursorLeft:
        case zv::ecAppCursorLeft:
            MoveCaret(x - p1, y);
            break;
        case zv::ecCursorRight:
        case zv::ecAppCursorRight:
            MoveCaret(x + p1, y);
            break;
        case zv::ecCursorHome:
        case zv::ecCursorMove:
            MoveCaret(p2, p1);
            // The buffer must also stand raw hostile coordinates.
            (void)buffer.GetChar(clampTo(p2, INT_MIN, INT_MAX), clampTo(p1, INT_MIN, INT_MAX));
            break;
        case zv::ecReverseLineFeed:
            if (y == 1)
                buffer.ScrollUp();
            else
                --y;
            break;
        case zv::ecEraseLineFrom:
            buffer.EraseLine(x, y);
            break;
        case zv::ecEraseScreenFrom:
            buffer.EraseScreen(x, y);
            break;
        case zv::ecEraseLine:
            buffer.EraseLine(1, y);
            x = 1;
            break;
        case zv::ecEraseScreen:
            buffer.EraseScreen(1, 1);
            x = y = 1;
            break;
        case zv::ecSetTab:
            buffer.SetTab(x, true);
            break;
        case zv::ecClearTab:
            buffer.SetTab(x, false);
            break;
        case zv::ecClearAllTabs:
            buffer.ClearAllTabs();
            break;
        case zv::ecAttributes:
            underline = p1 == 4;
            break;
        case zv::ecSetMode:
        case zv::ecResetMode:
            // A size change: a new grid from P1 (columns) and P2 (rows), kept within the
            // terminal's limits; the caret is brought inside it before the next byte.
            owner.columns = clampTo(p1, 2, 256);
            owner.rows = clampTo(p2, 2, 100);
            buffer.Init();
            MoveCaret(x, y);
            break;
        case zv::ecSaveCaret:
            saved = {x, y};
            break;
        case zv::ecRestoreCaret:
            MoveCaret(saved.first, saved.second);
            break;
        case zv::ecTest:
            for (int row = 1; row <= owner.rows; ++row)
                for (int column = 1; column <= owner.columns; ++column)
                    buffer.SetChar(column, row, zv::TComTermChar{'E', 0, 0, false});
            break;
        default:
            break;
        }
    }

    CheckingOwner& owner;
    zv::TEscapeCodes& parser;
    bool wrap;
    zv::TComTermBuffer buffer;
    int x = 1;
    int y = 1;
    bool underline = false;
    std::pair<int, int> saved{0, 0};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const std::uint8_t flags = data[0];
    CheckingOwner owner;
    owner.columns = 2 + data[1] % 255;
    owner.rows = 2 + data[2] % 99;
    owner.doubleBuffered = (flags & 2) != 0;
    std::unique_ptr<zv::TEscapeCodes> parser;
    if (flags & 1)
        parser = std::make_unique<zv::TEscapeCodesVT52>();
    else
        parser = std::make_unique<zv::TEscapeCodesVT100>();
    Driver driver(owner, *parser, (flags & 4) != 0);
    if (flags & 8) {
        driver.WriteBlock(reinterpret_cast<const char*>(data) + 3, size - 3);
    } else {
        for (std::size_t i = 3; i < size; ++i)
            driver.Write(static_cast<char>(data[i]));
    }
    driver.Finish();
    return 0;
}
