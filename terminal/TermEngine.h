// The terminal engine: everything a terminal does with bytes, without a window. Received bytes
// pass through the two optional filters (line feeds after carriage returns, 7 bits) and the parser
// of the chosen emulation; plain characters become cells of the screen buffer at the caret, codes
// move the caret, erase, set attributes and modes, or make the terminal answer the peer. Typed
// characters and cursor keys go out through a sink (the port).
//
// The terminal widget derives from this class and supplies the display through the protected
// hooks (DrawChar, caret, grid size and cell metrics); without a display every hook does nothing,
// which is how tests, the fuzzer and the benchmark drive the engine. Every operation of the data
// path is virtual, so a descendant may change how characters and codes are handled.
//
// Threads: one thread (the GUI thread) calls everything; the engine takes no locks.
#pragma once

#include "terminal/EscapeCodes.h"
#include "terminal/TermBuffer.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zv {

class TObject;
class TStream;

enum TTermEmulation : std::uint8_t { teVT100orANSI, teVT52, teNone };
enum TTermCaret : std::uint8_t { tcBlock, tcUnderline, tcNone };
enum TAdvanceCaret : std::uint8_t {
    acChar,
    acReturn,
    acLineFeed,
    acReverseLineFeed,
    acTab,
    acBackspace
};
enum TArrowKeys : std::uint8_t { akTerminal, akWindows };

// The keys that have a meaning for the terminal; the widget maps its toolkit's keys onto these.
enum TTermKey : std::uint8_t { tkOther, tkHome, tkLeft, tkUp, tkRight, tkDown };

// A column (X) and row (Y), counting from 1.
struct TTermPoint {
    int X = 0;
    int Y = 0;
    friend bool operator==(const TTermPoint&, const TTermPoint&) = default;
};

struct TTermAttributes {
    bool Reverse = false;
    bool Bold = false;
    bool Underline = false;
    friend bool operator==(const TTermAttributes&, const TTermAttributes&) = default;
};

struct TTermMode {
    bool AppCursorKeys = false;
};

inline constexpr TTermColor clTermBlack = 0x000000;
inline constexpr TTermColor clTermWhite = 0xFFFFFF;
inline constexpr TTermColor clTermAltColor = 10921638; // RGB 166, 166, 166

inline constexpr int kMinColumns = 2;
inline constexpr int kMaxColumns = 256;
inline constexpr int kMinRows = 2;
inline constexpr int kMaxRows = 100;

// Raised after every byte handled by PutChar.
using TChScreenEvent = std::function<void(TObject* Sender, char Ch)>;
// Asked for a parser when the emulation is teNone; a handler may store any parser, which the
// terminal then owns.
using TEscapeEvent =
    std::function<void(TObject* Sender, std::unique_ptr<TEscapeCodes>& EscapeCodes)>;
// A received code without an action, with the bytes of its sequence after the ESC.
using TUnhandledEvent =
    std::function<void(TObject* Sender, TEscapeCode Code, const std::string& Data)>;
// Every received block before it is written; the handler may change the text.
using TStrRecvEvent = std::function<void(TObject* Sender, std::string& Str)>;

// Where sent bytes go: the port the terminal is attached to.
class TTermSink {
public:
    virtual ~TTermSink() = default;
    virtual bool Connected() const = 0;
    // May raise the port's exception; it reaches the caller of the sending operation.
    virtual void SendStr(const std::string& Str) = 0;
};

class TTermEngine : public TTermBufferOwner {
public:
    // 80 x 24, VT100: the parser exists and the buffer is sized from the start, so a terminal
    // made in code can take bytes at once.
    TTermEngine();
    TTermEngine(const TTermEngine&) = delete;
    TTermEngine& operator=(const TTermEngine&) = delete;
    ~TTermEngine() override;

    // ---- the data path
    // A received block: the filters, then StringReceived.
    void RxBuf(TObject* Sender, const void* Buffer, std::int32_t Count);
    // Every byte through the parser (or straight to PutChar without one).
    void Write(const void* Buffer, std::size_t Count);
    void WriteStr(const std::string& Str) { Write(Str.data(), Str.size()); }
    // Acts on Code as if it had been received; nothing without a parser.
    void WriteEscCode(TEscapeCode Code, TEscapeParams* Params);
    // Empties the screen and the tab stops, caret to (1, 1); attributes and modes stay.
    void ClearScreen();
    // The caret to (X, Y), clamped into the grid.
    void MoveCaret(int X, int Y);
    // The bytes from the stream's position to its end, each through PutChar.
    void LoadFromStream(TStream& Stream);
    // The screen as text: rows 1 to the last non-empty one, each up to its line length (empty
    // cells as spaces), CR LF between rows.
    void SaveToStream(TStream& Stream);

    // ---- typing
    // A cursor key pressed: sent as a code, or moves the local caret (ArrowKeys).
    void CursorKeyDown(TTermKey Key);
    // A typed character: sent to the port (and echoed with LocalEcho).
    void KeyChar(char Ch) { SendChar(Ch); }

    // ---- properties
    int Columns() const override { return FColumns; }
    int Rows() const override { return FRows; }
    // Kept within 2..256 and 2..100. A new size re-initialises the buffer (content lost) unless
    // loading, and brings the caret inside the new grid in every case.
    void SetColumns(int Value);
    void SetRows(int Value);
    TTermEmulation Emulation() const { return FEmulation; }
    // A new emulation replaces the parser (unless loading).
    void SetEmulation(TTermEmulation Value);
    TTermCaret Caret() const { return FCaret; }
    // A value that is not a caret shape (the setup dialog's -1 for "no item") is ignored.
    void SetCaret(TTermCaret Value);
    TArrowKeys ArrowKeys() const { return FArrowKeys; }
    void SetArrowKeys(TArrowKeys Value) {
        if (Value == akTerminal || Value == akWindows)
            FArrowKeys = Value;
    }
    TTermColor AltColor() const { return FAltColor; }
    void SetAltColor(TTermColor Value) { FAltColor = Value; }
    // The background and the character colour of new cells (the widget keeps them equal to its
    // Color and Font colour).
    TTermColor Color() const { return FColor; }
    void SetColor(TTermColor Value) { FColor = Value; }
    TTermColor FontColor() const { return FFontColor; }
    void SetFontColor(TTermColor Value) { FFontColor = Value; }

    bool LocalEcho = false;
    bool SendLF = false;
    bool AppendLF = false;
    bool Force7Bit = false;
    bool WrapLines = false;

    TTermSink* Sink() const { return FSink; }
    void SetSink(TTermSink* Value) { FSink = Value; }

    TComTermBuffer& Buffer() { return FBuffer; }
    const TComTermBuffer& Buffer() const { return FBuffer; }
    TEscapeCodes* EscapeCodes() const { return FEscapeCodes.get(); }
    TTermPoint CaretPos() const { return FCaretPos; }
    TTermPoint SavedCaretPos() const { return FSavedCaretPos; }
    TTermPoint TopLeft() const { return FTopLeft; }
    TTermAttributes Attributes() const { return FAttributes; }
    TTermAttributes SavedAttributes() const { return FSavedAttributes; }
    TTermMode Mode() const { return FMode; }

    TChScreenEvent OnChar;
    TEscapeEvent OnGetEscapeCodes;
    TUnhandledEvent OnUnhandledCode;
    TStrRecvEvent OnStrRecieved;

    // ---- display side of the buffer's owner: a terminal without a window has cells of 8 x 16
    // pixels, a client area as large as the grid, and ignores window requests.
    int CharWidth() const override { return 8; }
    int CharHeight() const override { return 16; }
    int ClientWidth() const override { return FColumns * CharWidth(); }
    int ClientHeight() const override { return FRows * CharHeight(); }
    bool DoubleBuffered() const override { return false; }
    void ScrollContent(int, int, const TTermRect&) override {}
    void InvalidatePortion(const TTermRect&) override {}
    void Invalidate() override {}

protected:
    // The end of loading: the parser of the stored emulation, the buffer sized to the stored
    // grid, the caret inside it.
    void AfterLoad();

    virtual void PutChar(char Ch);
    // true when the code had an action. Params may be null (no parameters).
    virtual bool PutEscapeCode(TEscapeCode Code, TEscapeParams* Params);
    virtual void AdvanceCaret(TAdvanceCaret Kind);
    virtual void SendChar(char Ch);
    virtual void SendCode(TEscapeCode Code, TEscapeParams* Params);
    virtual void SendCodeNoEcho(TEscapeCode Code, TEscapeParams* Params);
    virtual void StringReceived(std::string& Str);
    virtual void SetAttributes(TEscapeParams* Params);
    virtual void SetMode(TEscapeParams* Params, bool Value);
    virtual void SaveCaretPos();
    virtual void RestoreCaretPos();
    virtual void SaveAttr();
    virtual void RestoreAttr();
    virtual TComTermChar GetCharAttr() const;
    virtual void PerformTest(char Ch);
    virtual void CreateEscapeCodes();
    virtual void DoChar(char Ch);
    virtual void DoGetEscapeCodes(std::unique_ptr<TEscapeCodes>& EscapeCodes);
    virtual void DoStrRecieved(std::string& Str);
    virtual void DoUnhandledCode(TEscapeCode Code, const std::string& Data);

    // ---- display hooks (nothing without a window)
    // Show Cell at window cell (X, Y).
    virtual void DrawChar(int, int, const TComTermChar&) {}
    virtual void HideCaret() {}
    virtual void ShowCaret() {}
    // CaretPos changed: place the caret in the window.
    virtual void CaretMoved() {}
    // Columns or Rows changed: the window adjusts its size and scroll ranges.
    virtual void GridChanged() {}
    // Caret shape changed.
    virtual void CaretShapeChanged() {}
    // Component states of the widget: setters only store while loading; nothing is created
    // while designing.
    virtual bool IsLoading() const { return false; }
    virtual bool IsDesigning() const { return false; }
    // The Sender of the events.
    virtual TObject* EventSender() { return nullptr; }

    void SetTopLeft(TTermPoint Value) { FTopLeft = Value; }

private:
    // Relative moves add numbers from the line to the caret: computed wide, then clamped.
    void MoveCaretWide(std::int64_t X, std::int64_t Y);
    void WriteBytes(const char* Bytes, std::size_t Count);

    TComTermBuffer FBuffer;
    std::unique_ptr<TEscapeCodes> FEscapeCodes;
    // A parser replaced while Write is using it (a handler changed the emulation) lives on
    // until that Write returns.
    std::vector<std::unique_ptr<TEscapeCodes>> FRetiredEscapeCodes;
    int FWriteDepth = 0;
    // An answer to the peer the line did not take while a received block was being written:
    // raised once the block is written (see SendCodeNoEcho).
    std::exception_ptr FUnsentAnswer;
    TTermSink* FSink = nullptr;

    int FColumns = 80;
    int FRows = 24;
    TTermEmulation FEmulation = teVT100orANSI;
    TTermCaret FCaret = tcBlock;
    TArrowKeys FArrowKeys = akTerminal;
    TTermColor FAltColor = clTermAltColor;
    TTermColor FColor = clTermBlack;
    TTermColor FFontColor = clTermWhite;

    TTermPoint FCaretPos{1, 1};
    TTermPoint FSavedCaretPos{0, 0};
    TTermPoint FTopLeft{1, 1};
    TTermAttributes FAttributes;
    TTermAttributes FSavedAttributes;
    TTermMode FMode;
};

} // namespace zv
