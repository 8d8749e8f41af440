#include "terminal/EscapeCodes.h"

#include <cstdint>
#include <limits>

namespace zv {

namespace {

constexpr bool isFinalLetter(char Ch) {
    return (Ch >= 'A' && Ch <= 'Z') || (Ch >= 'a' && Ch <= 'z');
}

// The first byte of the first parameter, or 0 when there is none.
char firstByteOfFirst(const TEscapeParams& Params) {
    if (Params.empty() || Params.front().empty())
        return 0;
    return Params.front().front();
}

// ESC followed by Tail.
std::string esc(std::string_view Tail) {
    std::string out;
    out.reserve(Tail.size() + 1);
    out.push_back(TEscapeCodes::ESC);
    out.append(Tail);
    return out;
}

// ESC "[" Prefix P1 [";" P2] Final, the numbers in decimal; built by appending, which also keeps
// clear of a false -Wrestrict of GCC 12 on chained string concatenation.
std::string csiWithNumbers(std::string_view Prefix, int P1, const int* P2, char Final) {
    std::string out(1, TEscapeCodes::ESC);
    out += '[';
    out += Prefix;
    out += std::to_string(P1);
    if (P2 != nullptr) {
        out += ';';
        out += std::to_string(*P2);
    }
    out += Final;
    return out;
}

// The low 8 bits of P + 31, the VT52 coordinate byte; unsigned arithmetic so that any P wraps
// instead of overflowing.
char vt52CoordinateByte(int P) {
    const auto value = (static_cast<std::uint32_t>(P) + 31U) & 0xFFU;
    return static_cast<char>(static_cast<unsigned char>(value));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TEscapeCodes

TEscapeCodes::TEscapeCodes() {
    // Both grow only up to small fixed sizes; reserving once keeps the per-byte path free of
    // allocation.
    FData.reserve(kMaxSequenceLength);
    FParams.reserve(16);
}

TEscapeCodes::~TEscapeCodes() = default;

int TEscapeCodes::GetParam(int Num, const TEscapeParams* Params) {
    if (Params == nullptr || Num < 1 || static_cast<std::size_t>(Num) > Params->size())
        return 1;
    const std::string& text = (*Params)[static_cast<std::size_t>(Num - 1)];

    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return 1; // empty, or a sign alone

    // Accumulate in a wider type and stop as soon as the value leaves the 32-bit range, so that
    // a hostile run of digits can neither overflow nor take long.
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return 1;
        value = value * 10 + (c - '0');
        if (value > limit)
            return 1;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<std::int32_t>::max() ||
        value < std::numeric_limits<std::int32_t>::min())
        return 1;
    return static_cast<int>(value);
}

// ---------------------------------------------------------------------------------------------
// VT52

TEscapeResult TEscapeCodesVT52::ProcessSequenceChar(char Ch) {
    FData.push_back(Ch);
    const TEscapeCode code = DetectCode(FData);
    if (code != ecNotCompleted)
        return Complete(code);
    if (FData.size() >= kMaxSequenceLength)
        return Complete(ecUnknown);
    return erNothing;
}

TEscapeCode TEscapeCodesVT52::DetectCode(std::string_view Data) {
    if (Data.empty())
        return ecNotCompleted;
    switch (Data[0]) {
    case 'A':
        return ecCursorUp;
    case 'B':
        return ecCursorDown;
    case 'C':
        return ecCursorRight;
    case 'D':
        return ecCursorLeft;
    case 'H':
        return ecCursorHome;
    case 'I':
        return ecReverseLineFeed;
    case 'J':
        return ecEraseScreenFrom;
    case 'K':
        return ecEraseLineFrom;
    case 'Z':
        return ecIdentify;
    case '/':
        if (Data.size() < 2)
            return ecNotCompleted;
        return Data[1] == 'Z' ? ecIdentResponse : ecUnknown;
    case 'Y': {
        if (Data.size() < 3)
            return ecNotCompleted;
        // Coordinate bytes count from a space (32) = 1. Bytes below 32 give 0 or less; the
        // terminal clamps the caret, the parser only reports what arrived.
        const int row = static_cast<unsigned char>(Data[1]) - 31;
        const int column = static_cast<unsigned char>(Data[2]) - 31;
        FParams.push_back(std::to_string(row));
        FParams.push_back(std::to_string(column));
        return ecCursorMove;
    }
    default:
        return ecUnknown;
    }
}

std::string TEscapeCodesVT52::EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params) const {
    switch (Code) {
    case ecCursorUp:
        return esc("A");
    case ecCursorDown:
        return esc("B");
    case ecCursorLeft:
        return esc("D");
    case ecCursorRight:
        return esc("C");
    case ecCursorHome:
        return esc("H");
    case ecCursorMove: {
        std::string out = esc("Y");
        out.push_back(vt52CoordinateByte(GetParam(1, Params)));
        out.push_back(vt52CoordinateByte(GetParam(2, Params)));
        return out;
    }
    case ecReverseLineFeed:
        return esc("I");
    case ecEraseLineFrom:
        return esc("K");
    case ecEraseScreenFrom:
        return esc("J");
    case ecIdentify:
        return esc("Z");
    case ecIdentResponse:
        return esc("/Z");
    default:
        return {};
    }
}

// ---------------------------------------------------------------------------------------------
// VT100

TEscapeResult TEscapeCodesVT100::ProcessSequenceChar(char Ch) {
    FData.push_back(Ch);
    // The bytes between "[" and the final letter only gather (DetectExtCode would say "not
    // completed" for them; ProcessChar takes most of them before they get here); only the
    // letter needs the full classification.
    if (FGatherParams && !isFinalLetter(Ch) && FData.size() < kMaxSequenceLength)
        return erNothing;
    TEscapeCode code;
    if (FGatherParams) {
        code = DetectExtCode(FData);
    } else if (FData.front() == '[') {
        FGatherParams = true;
        code = ecNotCompleted;
    } else {
        code = DetectCode(FData);
    }
    if (code == ecNotCompleted && FData.size() < kMaxSequenceLength)
        return erNothing;
    // Complete, or open for too long: a sequence that never ends is closed as unknown with the
    // bytes gathered so far, and the next byte starts from a clean state.
    FGatherParams = false;
    return Complete(code == ecNotCompleted ? ecUnknown : code);
}

TEscapeCode TEscapeCodesVT100::DetectCode(std::string_view Data) const {
    if (Data.empty())
        return ecNotCompleted;
    if (Data.size() == 1) {
        switch (Data[0]) {
        case 'H':
            return ecSetTab;
        case 'c':
            return ecReset;
        case '7':
            return ecSaveCaretAndAttr;
        case '8':
            return ecRestoreCaretAndAttr;
        case '#':
        case 'O':
            return ecNotCompleted;
        default:
            return ecUnknown;
        }
    }
    if (Data[0] == '#')
        return Data[1] == '8' ? ecTest : ecUnknown;
    if (Data[0] == 'O') {
        switch (Data[1]) {
        case 'A':
            return ecAppCursorUp;
        case 'B':
            return ecAppCursorDown;
        case 'C':
            return ecAppCursorRight;
        case 'D':
            return ecAppCursorLeft;
        default:
            return ecUnknown;
        }
    }
    return ecUnknown;
}

void TEscapeCodesVT100::SplitParams(std::string_view Text) {
    // A ";" closes the current parameter only when it holds something; otherwise the ";" is
    // part of it. So no parameter is ever empty: ";5" stays one parameter.
    FParams.clear();
    std::size_t start = 0;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == ';' && i > start) {
            FParams.emplace_back(Text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < Text.size())
        FParams.emplace_back(Text.substr(start));
}

TEscapeCode TEscapeCodesVT100::DetectExtCode(std::string_view Data) {
    if (Data.size() < 2 || !isFinalLetter(Data.back()))
        return ecNotCompleted;
    SplitParams(Data.substr(1, Data.size() - 2));

    // For J, K and g: no parameter or a first parameter starting with "0" gives the first code,
    // one starting with Second the other. Only that first byte counts; the list is emptied.
    const char lead = firstByteOfFirst(FParams);
    const auto byLeadingByte = [this, lead](TEscapeCode OnNoneOr0, char Second,
                                            TEscapeCode OnSecond) {
        TEscapeCode code = ecUnknown;
        if (FParams.empty() || lead == '0')
            code = OnNoneOr0;
        else if (lead == Second)
            code = OnSecond;
        FParams.clear();
        return code;
    };

    switch (Data.back()) {
    case 'A':
        return ecCursorUp;
    case 'B':
        return ecCursorDown;
    case 'C':
        return ecCursorRight;
    case 'D':
        return ecCursorLeft;
    case 'H':
        return ecCursorHome;
    case 'f':
        return ecCursorMove;
    case 'J':
        return byLeadingByte(ecEraseScreenFrom, '2', ecEraseScreen);
    case 'K':
        return byLeadingByte(ecEraseLineFrom, '2', ecEraseLine);
    case 'g':
        return byLeadingByte(ecClearTab, '3', ecClearAllTabs);
    case 'n': {
        TEscapeCode code = ecUnknown;
        if (!FParams.empty()) {
            switch (lead) {
            case '0':
                code = ecReportDeviceOK;
                break;
            case '3':
                code = ecReportDeviceFailure;
                break;
            case '5':
                code = ecQueryDevice;
                break;
            case '6':
                code = ecQueryCursorPos;
                break;
            default:
                break;
            }
        }
        FParams.clear();
        return code;
    }
    case 'c':
        if (FParams.empty() || (FParams.size() == 1 && FParams[0] == "0"))
            return ecIdentify;
        if (FParams.size() == 2 && FParams[0] == "?1")
            return ecIdentResponse;
        return ecUnknown;
    case 'R':
        return ecReportCursorPos;
    case 'h':
        return ecSetMode;
    case 'l':
        return ecResetMode;
    case 'm':
        return ecAttributes;
    case 's':
        return ecSaveCaret;
    case 'u':
        return ecRestoreCaret;
    default:
        return ecUnknown;
    }
}

std::string TEscapeCodesVT100::EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params) const {
    const int p1 = GetParam(1, Params);
    const int p2 = GetParam(2, Params);
    switch (Code) {
    case ecCursorUp:
        return esc("[A");
    case ecCursorDown:
        return esc("[B");
    case ecCursorLeft:
        return esc("[D");
    case ecCursorRight:
        return esc("[C");
    case ecCursorHome:
        return esc("[H");
    case ecCursorMove:
        return csiWithNumbers("", p1, &p2, 'f');
    case ecAppCursorLeft:
        return esc("OD");
    case ecAppCursorRight:
        return esc("OC");
    case ecAppCursorUp:
        return esc("OA");
    case ecAppCursorDown:
        return esc("OB");
    case ecEraseLineFrom:
        return esc("[K");
    case ecEraseScreenFrom:
        return esc("[J");
    case ecEraseLine:
        return esc("[2K");
    case ecEraseScreen:
        return esc("[2J");
    case ecSetTab:
        return esc("H");
    case ecClearTab:
        return esc("[g");
    case ecClearAllTabs:
        return esc("[3g");
    case ecIdentify:
        return esc("[c");
    case ecIdentResponse:
        return csiWithNumbers("?1;", p1, nullptr, 'c');
    case ecQueryDevice:
        return esc("[5n");
    case ecReportDeviceOK:
        return esc("[0n");
    case ecReportDeviceFailure:
        return esc("[3n");
    case ecQueryCursorPos:
        return esc("[6n");
    case ecReportCursorPos:
        return csiWithNumbers("", p1, &p2, 'R');
    case ecAttributes:
        return esc("[m");
    case ecSetMode:
        return esc("[h");
    case ecResetMode:
        return esc("[l");
    case ecReset:
        return esc("c");
    case ecSaveCaretAndAttr:
        return esc("7");
    case ecRestoreCaretAndAttr:
        return esc("8");
    case ecSaveCaret:
        return esc("[s");
    case ecRestoreCaret:
        return esc("[u");
    case ecTest:
        return esc("#8");
    default:
        return {};
    }
}

} // namespace zv
