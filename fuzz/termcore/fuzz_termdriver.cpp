// The terminal engine under hostile input: received blocks through both filters and the parser,
// typed keys and characters, grid changes in the middle of the stream, and screen save / load.
// The engine's display hooks check that every cell it draws, every portion the buffer
// invalidates and the caret lie inside the grid, and that whatever the terminal sends is a
// complete answer. The first bytes of the input choose the dialect, the grid and the options;
// the rest is a list of steps.
#include "fuzz/termcore/FuzzCheck.h"
#include "terminal/TermEngine.h"
#include "toolkit/Stream.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

class CheckingSink : public zv::TTermSink {
public:
    bool Connected() const override { return true; }
    void SendStr(const std::string& Str) override {
        ZV_FUZZ_CHECK(!Str.empty());
        sent += Str.size();
    }
    std::size_t sent = 0;
};

class CheckingEngine : public zv::TTermEngine {
public:
    explicit CheckingEngine(bool DoubleBuffer) : doubleBuffered(DoubleBuffer) {}

    bool DoubleBuffered() const override { return doubleBuffered; }
    void ScrollContent(int DX, int DY, const zv::TTermRect& Scroll) override {
        ZV_FUZZ_CHECK(!doubleBuffered);
        ZV_FUZZ_CHECK(DX == 0 && (DY == CharHeight() || DY == -CharHeight()));
        ZV_FUZZ_CHECK(Scroll.Left == 0 && Scroll.Top == 0);
        ZV_FUZZ_CHECK(Scroll.Right == Columns() * CharWidth());
        ZV_FUZZ_CHECK(Scroll.Bottom == Rows() * CharHeight());
    }
    void InvalidatePortion(const zv::TTermRect& Cells) override {
        ZV_FUZZ_CHECK(1 <= Cells.Left && Cells.Left <= Cells.Right && Cells.Right <= Columns());
        ZV_FUZZ_CHECK(1 <= Cells.Top && Cells.Top <= Cells.Bottom && Cells.Bottom <= Rows());
    }

    void Step(const std::uint8_t* Data, std::size_t Size) {
        RxBuf(nullptr, Data, static_cast<std::int32_t>(Size));
        CheckCaret();
    }
    void CheckCaret() const {
        const zv::TTermPoint at = CaretPos();
        ZV_FUZZ_CHECK(1 <= at.X && at.X <= Columns() && 1 <= at.Y && at.Y <= Rows());
        ZV_FUZZ_CHECK(Buffer().Columns() == Columns() && Buffer().Rows() == Rows());
    }
    void Finish() const {
        CheckCaret();
        const int last = Buffer().GetLastLine();
        ZV_FUZZ_CHECK(0 <= last && last <= Rows());
        for (int row = 1; row <= last; ++row) {
            const int length = Buffer().GetLineLength(row);
            ZV_FUZZ_CHECK(0 <= length && length <= Columns());
            if (length > 0)
                ZV_FUZZ_CHECK(Buffer().GetChar(length, row).Ch != 0);
        }
    }

protected:
    void DrawChar(int X, int Y, const zv::TComTermChar& Cell) override {
        // Not scrolled: window cells are buffer cells.
        ZV_FUZZ_CHECK(1 <= X && X <= Columns() && 1 <= Y && Y <= Rows());
        ZV_FUZZ_CHECK(static_cast<unsigned char>(Cell.Ch) >= 32);
        ZV_FUZZ_CHECK(Buffer().GetChar(X, Y) == Cell);
    }
    void CaretMoved() override {
        const zv::TTermPoint at = CaretPos();
        ZV_FUZZ_CHECK(1 <= at.X && at.X <= Columns() && 1 <= at.Y && at.Y <= Rows());
    }

private:
    bool doubleBuffered;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const std::uint8_t flags = data[0];
    CheckingEngine engine((flags & 0x40) != 0);
    CheckingSink sink;
    engine.SetSink(&sink);
    engine.SetColumns(data[1]);
    engine.SetRows(data[2]);
    engine.SetEmulation(static_cast<zv::TTermEmulation>(flags % 3));
    engine.WrapLines = (flags & 0x04) != 0;
    engine.AppendLF = (flags & 0x08) != 0;
    engine.Force7Bit = (flags & 0x10) != 0;
    engine.LocalEcho = (flags & 0x20) != 0;
    engine.SendLF = (flags & 0x80) != 0;

    // Steps: a byte S, then what S asks for. S % 4 = 0: a received block of S / 4 bytes (1 to
    // 64); 1: a key or a typed character; 2: a new grid from the next two bytes; 3: save the
    // screen and load it back from a position, or clear.
    std::size_t at = 3;
    while (at < size) {
        const std::uint8_t step = data[at++];
        switch (step % 4) {
        case 0: {
            const std::size_t want = static_cast<std::size_t>(step / 4) + 1;
            const std::size_t count = want < size - at ? want : size - at;
            engine.Step(data + at, count);
            at += count;
            break;
        }
        case 1:
            if (step & 4)
                engine.CursorKeyDown(static_cast<zv::TTermKey>((step >> 3) % 6));
            else
                engine.KeyChar(static_cast<char>(step >> 3));
            break;
        case 2:
            if (at + 2 <= size) {
                engine.SetColumns(data[at] - 8);
                engine.SetRows(data[at + 1] - 8);
                at += 2;
            }
            break;
        case 3:
            if (step & 4) {
                engine.ClearScreen();
            } else {
                zv::TMemoryStream stream;
                engine.SaveToStream(stream);
                ZV_FUZZ_CHECK(stream.Size() <=
                              std::int64_t{engine.Rows()} * (engine.Columns() + 2));
                stream.SetPosition(step >> 3);
                engine.LoadFromStream(stream);
            }
            break;
        }
        engine.CheckCaret();
    }
    engine.Finish();
    return 0;
}
