#include "terminal/TermEngine.h"

#include "toolkit/Stream.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <utility>

namespace zv {

namespace {

constexpr char BS = 8;
constexpr char TAB = 9;
constexpr char LF = 10;
constexpr char FF = 12;
constexpr char CR = 13;

int clampWide(std::int64_t Value, int Low, int High) {
    return static_cast<int>(std::clamp<std::int64_t>(Value, Low, High));
}

// Hides the caret for the lifetime of the guard and shows it again, also when an exception
// leaves the scope.
template <typename Engine> class TCaretHidden {
public:
    TCaretHidden(Engine& E, void (Engine::*Hide)(), void (Engine::*Show)())
        : FEngine(E), FShow(Show) {
        (FEngine.*Hide)();
    }
    ~TCaretHidden() { (FEngine.*FShow)(); }
    TCaretHidden(const TCaretHidden&) = delete;
    TCaretHidden& operator=(const TCaretHidden&) = delete;

private:
    Engine& FEngine;
    void (Engine::*FShow)();
};

} // namespace

TTermEngine::TTermEngine() : FBuffer(this) {
    FEscapeCodes = std::make_unique<TEscapeCodesVT100>();
    FBuffer.Init();
}

TTermEngine::~TTermEngine() = default;

void TTermEngine::AfterLoad() {
    CreateEscapeCodes();
    if (!IsDesigning())
        FBuffer.Init();
    MoveCaret(FCaretPos.X, FCaretPos.Y);
}

// ---------------------------------------------------------------------------------------------
// Receiving

void TTermEngine::RxBuf(TObject*, const void* Buffer, std::int32_t Count) {
    if (Buffer == nullptr || Count <= 0)
        return;
    const auto* bytes = static_cast<const char*>(Buffer);
    std::string str;
    str.reserve(static_cast<std::size_t>(Count) * (AppendLF ? 2 : 1));
    for (std::int32_t i = 0; i < Count; ++i) {
        char ch = bytes[i];
        // The 7-bit filter clears bit 7: what a peer sending with even or mark parity on 8 data
        // bits means is the low 7 bits, so a CR is looked for after it (0x8D from it is a CR).
        if (Force7Bit)
            ch = static_cast<char>(static_cast<unsigned char>(ch) & 0x7FU);
        str.push_back(ch);
        if (AppendLF && ch == CR)
            str.push_back(LF);
    }
    StringReceived(str);
}

void TTermEngine::StringReceived(std::string& Str) {
    DoStrRecieved(Str);
    WriteStr(Str);
}

void TTermEngine::Write(const void* Buffer, std::size_t Count) {
    if (Buffer == nullptr || Count == 0)
        return;
    TCaretHidden<TTermEngine> hidden(*this, &TTermEngine::HideCaret, &TTermEngine::ShowCaret);
    ++FWriteDepth;
    try {
        WriteBytes(static_cast<const char*>(Buffer), Count);
    } catch (...) {
        if (--FWriteDepth == 0) {
            FRetiredEscapeCodes.clear();
            FUnsentAnswer = nullptr; // what raised here is reported instead
        }
        throw;
    }
    if (--FWriteDepth == 0) {
        FRetiredEscapeCodes.clear();
        if (FUnsentAnswer)
            std::rethrow_exception(std::exchange(FUnsentAnswer, nullptr));
    }
}

void TTermEngine::WriteBytes(const char* Bytes, std::size_t Count) {
    std::size_t at = 0;
    while (at < Count) {
        // The parser is looked up for every step: a handler may have replaced it.
        TEscapeCodes* parser = FEscapeCodes.get();
        if (parser == nullptr) {
            PutChar(Bytes[at++]);
            continue;
        }
        // Runs of printable characters skip the parser's per-byte step.
        const std::size_t text = parser->ProcessText(Bytes + at, Count - at);
        if (text > 0) {
            for (std::size_t i = 0; i < text; ++i)
                PutChar(Bytes[at + i]);
            at += text;
            continue;
        }
        switch (parser->ProcessChar(Bytes[at++])) {
        case erChar:
            PutChar(parser->Character());
            break;
        case erCode: {
            // The parameters belong to this sequence alone, also when its handling raises (a
            // reply the sink refuses): the next sequence starts from an empty list.
            struct TParamsReset {
                TEscapeParams& Params;
                ~TParamsReset() { Params.clear(); }
            } reset{parser->Params()};
            const TEscapeCode code = parser->Code();
            if (!PutEscapeCode(code, &parser->Params()))
                DoUnhandledCode(code, parser->Data());
            break;
        }
        case erNothing:
            break;
        }
    }
}

void TTermEngine::WriteEscCode(TEscapeCode Code, TEscapeParams* Params) {
    if (FEscapeCodes)
        PutEscapeCode(Code, Params);
}

// ---------------------------------------------------------------------------------------------
// Characters and the caret

void TTermEngine::PutChar(char Ch) {
    switch (Ch) {
    case BS:
        AdvanceCaret(acBackspace);
        break;
    case TAB:
        AdvanceCaret(acTab);
        break;
    case LF:
    case FF:
        AdvanceCaret(acLineFeed);
        break;
    case CR:
        AdvanceCaret(acReturn);
        break;
    default:
        if (static_cast<unsigned char>(Ch) >= 32) {
            TComTermChar cell = GetCharAttr();
            cell.Ch = Ch;
            FBuffer.SetChar(FCaretPos.X, FCaretPos.Y, cell);
            DrawChar(FCaretPos.X - FTopLeft.X + 1, FCaretPos.Y - FTopLeft.Y + 1, cell);
            AdvanceCaret(acChar);
        }
        break;
    }
    DoChar(Ch);
}

TComTermChar TTermEngine::GetCharAttr() const {
    TComTermChar cell;
    if (FAttributes.Bold)
        cell.FrontColor = FAltColor;
    else if (FAttributes.Reverse)
        cell.FrontColor = FColor;
    else
        cell.FrontColor = FFontColor;
    cell.BackColor = FAttributes.Reverse ? FFontColor : FColor;
    cell.Underline = FAttributes.Underline;
    return cell;
}

void TTermEngine::AdvanceCaret(TAdvanceCaret Kind) {
    const int x = FCaretPos.X;
    const int y = FCaretPos.Y;
    switch (Kind) {
    case acChar:
        if (x < FColumns) {
            MoveCaret(x + 1, y);
        } else if (WrapLines) {
            if (y >= FRows) {
                FBuffer.ScrollDown();
                MoveCaret(1, FRows);
            } else {
                MoveCaret(1, y + 1);
            }
        }
        break;
    case acReturn:
        MoveCaret(1, y);
        break;
    case acLineFeed:
        if (y >= FRows)
            FBuffer.ScrollDown();
        else
            MoveCaret(x, y + 1);
        break;
    case acReverseLineFeed:
        if (y <= 1)
            FBuffer.ScrollUp();
        else
            MoveCaret(x, y - 1);
        break;
    case acTab:
        if (const int next = FBuffer.NextTab(x + 1); next != 0)
            MoveCaret(next, y);
        break;
    case acBackspace:
        MoveCaret(x - 1, y);
        break;
    }
}

void TTermEngine::MoveCaret(int X, int Y) {
    MoveCaretWide(X, Y);
}

void TTermEngine::MoveCaretWide(std::int64_t X, std::int64_t Y) {
    FCaretPos.X = clampWide(X, 1, FColumns);
    FCaretPos.Y = clampWide(Y, 1, FRows);
    CaretMoved();
}

// ---------------------------------------------------------------------------------------------
// Codes

bool TTermEngine::PutEscapeCode(TEscapeCode Code, TEscapeParams* Params) {
    const std::int64_t p1 = TEscapeCodes::GetParam(1, Params);
    const std::int64_t p2 = TEscapeCodes::GetParam(2, Params);
    const std::int64_t x = FCaretPos.X;
    const std::int64_t y = FCaretPos.Y;
    // The answers and the reset write into the list they are given; without one they use
    // their own.
    TEscapeParams local;
    TEscapeParams& list = Params != nullptr ? *Params : local;
    switch (Code) {
    case ecCursorUp:
    case ecAppCursorUp:
        MoveCaretWide(x, y - p1);
        break;
    case ecCursorDown:
    case ecAppCursorDown:
        MoveCaretWide(x, y + p1);
        break;
    case ecCursorLeft:
    case ecAppCursorLeft:
        MoveCaretWide(x - p1, y);
        break;
    case ecCursorRight:
    case ecAppCursorRight:
        MoveCaretWide(x + p1, y);
        break;
    case ecCursorHome:
    case ecCursorMove:
        MoveCaretWide(p2, p1);
        break;
    case ecReverseLineFeed:
        AdvanceCaret(acReverseLineFeed);
        break;
    case ecEraseLineFrom:
        FBuffer.EraseLine(FCaretPos.X, FCaretPos.Y);
        break;
    case ecEraseScreenFrom:
        FBuffer.EraseScreen(FCaretPos.X, FCaretPos.Y);
        break;
    case ecEraseLine:
        FBuffer.EraseLine(1, FCaretPos.Y);
        MoveCaret(1, FCaretPos.Y);
        break;
    case ecEraseScreen:
        FBuffer.EraseScreen(1, 1);
        MoveCaret(1, 1);
        break;
    case ecSetTab:
        FBuffer.SetTab(FCaretPos.X, true);
        break;
    case ecClearTab:
        FBuffer.SetTab(FCaretPos.X, false);
        break;
    case ecClearAllTabs:
        FBuffer.ClearAllTabs();
        break;
    case ecIdentify:
        list.clear();
        list.emplace_back("2");
        SendCodeNoEcho(ecIdentResponse, &list);
        break;
    case ecQueryDevice:
        SendCodeNoEcho(ecReportDeviceOK, nullptr);
        break;
    case ecQueryCursorPos:
        list.clear();
        list.push_back(std::to_string(FCaretPos.Y));
        list.push_back(std::to_string(FCaretPos.X));
        SendCodeNoEcho(ecReportCursorPos, &list);
        break;
    case ecAttributes:
        SetAttributes(Params);
        break;
    case ecSetMode:
        SetMode(Params, true);
        break;
    case ecResetMode:
        SetMode(Params, false);
        break;
    case ecReset:
        list.clear();
        list.emplace_back("0");
        SetAttributes(&list);
        break;
    case ecSaveCaretAndAttr:
        SaveCaretPos();
        SaveAttr();
        break;
    case ecRestoreCaretAndAttr:
        RestoreCaretPos();
        RestoreAttr();
        break;
    case ecSaveCaret:
        SaveCaretPos();
        break;
    case ecRestoreCaret:
        RestoreCaretPos();
        break;
    case ecTest:
        PerformTest('E');
        break;
    default:
        return false;
    }
    return true;
}

void TTermEngine::SetAttributes(TEscapeParams* Params) {
    if (Params == nullptr || Params->empty()) {
        FAttributes = {};
        return;
    }
    const int count =
        static_cast<int>(std::min<std::size_t>(Params->size(), std::numeric_limits<int>::max()));
    for (int i = 1; i <= count; ++i) {
        switch (TEscapeCodes::GetParam(i, Params)) {
        case 0:
            FAttributes = {};
            break;
        case 1:
            FAttributes.Bold = true;
            break;
        case 4:
            FAttributes.Underline = true;
            break;
        case 7:
            FAttributes.Reverse = true;
            break;
        case 21:
            FAttributes.Bold = false;
            break;
        case 24:
            FAttributes.Underline = false;
            break;
        case 27:
            FAttributes.Reverse = false;
            break;
        default:
            break;
        }
    }
}

void TTermEngine::SetMode(TEscapeParams* Params, bool Value) {
    if (Params == nullptr || Params->empty())
        return;
    const std::string& first = Params->front();
    if (first == "?1")
        FMode.AppCursorKeys = Value;
    else if (first == "7")
        WrapLines = Value;
    else if (first == "?3")
        SetColumns(Value ? 132 : 80);
}

void TTermEngine::SaveCaretPos() {
    FSavedCaretPos = FCaretPos;
}

void TTermEngine::RestoreCaretPos() {
    MoveCaret(FSavedCaretPos.X, FSavedCaretPos.Y);
}

void TTermEngine::SaveAttr() {
    FSavedAttributes = FAttributes;
}

void TTermEngine::RestoreAttr() {
    FAttributes = FSavedAttributes;
}

void TTermEngine::PerformTest(char Ch) {
    const TComTermChar cell{Ch, FFontColor, FColor, false};
    for (int y = 1; y <= FBuffer.Rows(); ++y)
        for (int x = 1; x <= FBuffer.Columns(); ++x)
            FBuffer.SetChar(x, y, cell);
    Invalidate();
}

// ---------------------------------------------------------------------------------------------
// Sending

void TTermEngine::SendChar(char Ch) {
    if (FSink == nullptr || !FSink->Connected())
        return;
    FSink->SendStr(std::string(1, Ch));
    if (LocalEcho) {
        TCaretHidden<TTermEngine> hidden(*this, &TTermEngine::HideCaret, &TTermEngine::ShowCaret);
        PutChar(Ch);
    }
    if (Ch == CR && SendLF)
        SendChar(LF);
}

void TTermEngine::SendCode(TEscapeCode Code, TEscapeParams* Params) {
    if (FSink == nullptr || !FSink->Connected() || !FEscapeCodes)
        return;
    const std::string bytes = FEscapeCodes->EscCodeToStr(Code, Params);
    if (!bytes.empty())
        FSink->SendStr(bytes);
    if (LocalEcho) {
        TCaretHidden<TTermEngine> hidden(*this, &TTermEngine::HideCaret, &TTermEngine::ShowCaret);
        PutEscapeCode(Code, Params);
    }
}

void TTermEngine::SendCodeNoEcho(TEscapeCode Code, TEscapeParams* Params) {
    if (FSink == nullptr || !FSink->Connected() || !FEscapeCodes)
        return;
    const std::string bytes = FEscapeCodes->EscCodeToStr(Code, Params);
    if (bytes.empty())
        return;
    // An answer to a query of the peer, sent from inside a received block: a line that does
    // not take it must not cost the rest of the block. The first failure is raised once the
    // block is written.
    try {
        FSink->SendStr(bytes);
    } catch (...) {
        if (FWriteDepth == 0)
            throw;
        if (!FUnsentAnswer)
            FUnsentAnswer = std::current_exception();
    }
}

void TTermEngine::CursorKeyDown(TTermKey Key) {
    struct TKeyCodes {
        TTermKey Key;
        TEscapeCode Code;    // application cursor keys off
        TEscapeCode AppCode; // on; ecUnknown: nothing is sent
    };
    static constexpr std::array<TKeyCodes, 5> keys = {{
        {tkHome, ecCursorHome, ecUnknown},
        {tkLeft, ecCursorLeft, ecAppCursorLeft},
        {tkUp, ecCursorUp, ecAppCursorUp},
        {tkRight, ecCursorRight, ecAppCursorRight},
        {tkDown, ecCursorDown, ecAppCursorDown},
    }};
    const auto found = std::find_if(keys.begin(), keys.end(),
                                    [Key](const TKeyCodes& Entry) { return Entry.Key == Key; });
    if (found == keys.end())
        return;
    // The application form belongs to the VT100 dialect: a mode a VT100 peer set before the
    // emulation changed leaves the keys of a dialect without it (VT52) in their normal form,
    // rather than sending nothing.
    const bool appForm = FMode.AppCursorKeys && FEscapeCodes &&
                         !FEscapeCodes->EscCodeToStr(ecAppCursorUp, nullptr).empty();
    if (appForm) {
        if (found->AppCode != ecUnknown)
            SendCode(found->AppCode, nullptr);
    } else if (FArrowKeys == akTerminal) {
        SendCode(found->Code, nullptr);
    } else {
        PutEscapeCode(found->Code, nullptr);
    }
}

// ---------------------------------------------------------------------------------------------
// Screen, streams, properties

void TTermEngine::ClearScreen() {
    FBuffer.Init();
    MoveCaret(1, 1);
    Invalidate();
}

void TTermEngine::LoadFromStream(TStream& Stream) {
    TCaretHidden<TTermEngine> hidden(*this, &TTermEngine::HideCaret, &TTermEngine::ShowCaret);
    // Only what lies between the position and the end: a stream read from the middle holds
    // fewer bytes than its size.
    std::int64_t left = std::max<std::int64_t>(Stream.Size() - Stream.Position(), 0);
    std::array<char, 4096> chunk{};
    while (left > 0) {
        const std::int64_t got =
            Stream.Read(chunk.data(), std::min<std::int64_t>(left, std::int64_t{chunk.size()}));
        if (got <= 0)
            break;
        for (std::int64_t i = 0; i < got; ++i)
            PutChar(chunk[static_cast<std::size_t>(i)]);
        left -= got;
    }
}

void TTermEngine::SaveToStream(TStream& Stream) {
    std::string text;
    const int last = FBuffer.GetLastLine();
    for (int y = 1; y <= last; ++y) {
        const int length = FBuffer.GetLineLength(y);
        for (int x = 1; x <= length; ++x) {
            const char ch = FBuffer.GetChar(x, y).Ch;
            text.push_back(ch == 0 ? ' ' : ch);
        }
        if (y < last)
            text += "\r\n";
    }
    if (!text.empty())
        Stream.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

void TTermEngine::SetColumns(int Value) {
    Value = std::clamp(Value, kMinColumns, kMaxColumns);
    if (Value == FColumns)
        return;
    FColumns = Value;
    GridChanged();
    if (!IsLoading() && !IsDesigning()) {
        FBuffer.Init();
        Invalidate();
    }
    MoveCaret(FCaretPos.X, FCaretPos.Y);
}

void TTermEngine::SetRows(int Value) {
    Value = std::clamp(Value, kMinRows, kMaxRows);
    if (Value == FRows)
        return;
    FRows = Value;
    GridChanged();
    if (!IsLoading() && !IsDesigning()) {
        FBuffer.Init();
        Invalidate();
    }
    MoveCaret(FCaretPos.X, FCaretPos.Y);
}

void TTermEngine::SetEmulation(TTermEmulation Value) {
    if (Value > teNone || Value == FEmulation)
        return;
    FEmulation = Value;
    if (!IsLoading())
        CreateEscapeCodes();
}

void TTermEngine::SetCaret(TTermCaret Value) {
    if (Value > tcNone || Value == FCaret)
        return;
    FCaret = Value;
    CaretShapeChanged();
}

void TTermEngine::CreateEscapeCodes() {
    if (IsDesigning())
        return;
    std::unique_ptr<TEscapeCodes> next;
    switch (FEmulation) {
    case teVT100orANSI:
        next = std::make_unique<TEscapeCodesVT100>();
        break;
    case teVT52:
        next = std::make_unique<TEscapeCodesVT52>();
        break;
    case teNone:
        DoGetEscapeCodes(next);
        break;
    }
    if (FWriteDepth > 0)
        FRetiredEscapeCodes.push_back(std::move(FEscapeCodes));
    FEscapeCodes = std::move(next);
}

// ---------------------------------------------------------------------------------------------
// Events

void TTermEngine::DoChar(char Ch) {
    if (OnChar)
        OnChar(EventSender(), Ch);
}

void TTermEngine::DoGetEscapeCodes(std::unique_ptr<TEscapeCodes>& EscapeCodes) {
    if (OnGetEscapeCodes)
        OnGetEscapeCodes(EventSender(), EscapeCodes);
}

void TTermEngine::DoStrRecieved(std::string& Str) {
    if (OnStrRecieved)
        OnStrRecieved(EventSender(), Str);
}

void TTermEngine::DoUnhandledCode(TEscapeCode Code, const std::string& Data) {
    if (OnUnhandledCode)
        OnUnhandledCode(EventSender(), Code, Data);
}

} // namespace zv
