// The terminal's two dialects of control sequences (VT52, and VT100 which also serves ANSI
// streams): a parser turns received bytes, one at a time, into plain characters or recognised
// control codes with their parameters, and turns a code back into the bytes a terminal of that
// dialect sends. The parser draws nothing and keeps no screen state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zv {

// The recognised control codes, in a fixed order (ordinals 0 to 35).
enum TEscapeCode : std::uint8_t {
    ecUnknown,         // a complete sequence that is not recognised
    ecNotCompleted,    // more bytes are needed (detection only; never a finished code)
    ecCursorUp,        // caret up P1 rows
    ecCursorDown,      // caret down P1 rows
    ecCursorLeft,      // caret left P1 columns
    ecCursorRight,     // caret right P1 columns
    ecCursorHome,      // caret to row P1, column P2 (both default 1)
    ecCursorMove,      // caret to row P1, column P2
    ecReverseLineFeed, // caret up one row, scrolling at the top
    ecAppCursorLeft,   // application-mode cursor keys
    ecAppCursorRight,
    ecAppCursorUp,
    ecAppCursorDown,
    ecEraseLineFrom,       // erase from the caret to the end of the line
    ecEraseScreenFrom,     // erase from the caret to the end of the screen
    ecEraseLine,           // erase the whole line
    ecEraseScreen,         // erase the whole screen
    ecSetTab,              // set a tab stop at the caret column
    ecClearTab,            // clear the tab stop at the caret column
    ecClearAllTabs,        // clear all tab stops
    ecIdentify,            // the peer asks for our terminal type
    ecIdentResponse,       // answer to ecIdentify (P1 = option value)
    ecQueryDevice,         // device status query
    ecReportDeviceOK,      // device status answer: ready
    ecReportDeviceFailure, // device status answer: malfunction
    ecQueryCursorPos,      // caret position query
    ecReportCursorPos,     // caret position answer (P1 row, P2 column)
    ecAttributes,          // set character attributes (parameters are attribute numbers)
    ecSetMode,             // set a mode (P1 names it)
    ecResetMode,           // reset a mode
    ecReset,               // reset the terminal
    ecSaveCaretAndAttr,
    ecRestoreCaretAndAttr,
    ecSaveCaret,
    ecRestoreCaret,
    ecTest, // screen alignment test
};

inline constexpr int kEscapeCodeCount = ecTest + 1;

// What one byte fed to the parser produced.
enum TEscapeResult : std::uint8_t {
    erChar,    // a plain character is ready in Character()
    erCode,    // a sequence is complete; Code() and Params() hold it
    erNothing, // the byte was absorbed (an ESC started a sequence, or a sequence goes on)
};

// Parameters travel as decimal text, in order, exactly as received ("?1" stays "?1").
using TEscapeParams = std::vector<std::string>;

// The core needs nothing but the standard library, so the parsers are plain classes rather than
// toolkit objects; like them they are not copied.
class TEscapeCodes {
public:
    static constexpr char ESC = '\x1B';

    // An open sequence never grows past this many bytes after the ESC: a peer that sends
    // ESC [ followed only by digits would otherwise make Data grow without end. Real sequences
    // are a handful of bytes long.
    static constexpr std::size_t kMaxSequenceLength = 256;

    TEscapeCodes();
    TEscapeCodes(const TEscapeCodes&) = delete;
    TEscapeCodes& operator=(const TEscapeCodes&) = delete;
    virtual ~TEscapeCodes();

    // Feed one received byte. Outside a sequence every byte but ESC is a character; this path
    // is taken for almost every byte and stays a few instructions. Inside a sequence the dialect
    // decides (ProcessSequenceChar).
    TEscapeResult ProcessChar(char Ch) {
        if (!FInSequence) {
            if (Ch != ESC) {
                FCharacter = Ch;
                return erChar;
            }
            return StartSequence();
        }
        // The parameter bytes of a sequence only gather until its final letter.
        if (FGatherParams && !IsFinalLetter(Ch) && FData.size() + 1 < kMaxSequenceLength) {
            FData.push_back(Ch);
            return erNothing;
        }
        return ProcessSequenceChar(Ch);
    }
    // Feed a run of printable characters in one step: when no sequence is open, every byte at
    // the start of Bytes up to the next control byte (0 to 31, ESC among them) gives erChar.
    // Returns how many bytes were taken (0 while a sequence is open or when Bytes starts with a
    // control byte); Character() is then the last of them, exactly as if each had gone through
    // ProcessChar. The caller handles those bytes as characters and feeds the byte after them
    // through ProcessChar.
    std::size_t ProcessText(const char* Bytes, std::size_t Count) {
        if (FInSequence)
            return 0;
        const std::size_t taken = PrintableRun(Bytes, Count);
        if (taken > 0)
            FCharacter = Bytes[taken - 1];
        return taken;
    }
    // The bytes this dialect sends for Code (Params may be null); empty when the dialect has no
    // form for the code.
    virtual std::string EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params) const = 0;

    // Parameter Num (counting from 1) as a decimal integer with an optional sign. Absent
    // parameters, text that is not an integer ("", "?1", "5x") and numbers that do not fit a
    // 32-bit integer all read as 1.
    static int GetParam(int Num, const TEscapeParams* Params);

    char Character() const { return FCharacter; }
    TEscapeCode Code() const { return FCode; }
    // The bytes of the current (or last) sequence after its ESC.
    const std::string& Data() const { return FData; }
    // The parameters of the last completed code. The parser never empties this list when a
    // sequence starts; its owner empties it after handling each code.
    TEscapeParams& Params() { return FParams; }
    const TEscapeParams& Params() const { return FParams; }

    bool InSequence() const { return FInSequence; }

    // How many bytes at the start of Bytes are printable (32 to 255). Several bytes are tested
    // at a time: with SSE2 sixteen, then eight in a 64-bit word, where a byte below 32 is one
    // whose top bit (bit 7) is clear and that borrows when 32 is subtracted.
    static std::size_t PrintableRun(const char* Bytes, std::size_t Count) {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        std::size_t at = 0;
#if defined(__SSE2__)
        // Sixteen at a time: saturating subtraction of 31 leaves 0 exactly in the bytes below 32.
        const __m128i limit = _mm_set1_epi8(31);
        const __m128i zero = _mm_setzero_si128();
        for (; at + 16 <= Count; at += 16) {
            const __m128i bytes =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(Bytes + at)); // NOLINT
            const int controls =
                _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(bytes, limit), zero));
            if (controls != 0)
                return at +
                       static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(controls)));
        }
#endif
        for (; at + 8 <= Count; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, Bytes + at, sizeof word);
            const std::uint64_t below = (word - ones * 0x20) & ~word & highs;
            if (below != 0) {
                if constexpr (std::endian::native == std::endian::little)
                    return at + static_cast<std::size_t>(std::countr_zero(below)) / 8;
                else
                    break; // the byte loop below finds it
            }
        }
        while (at < Count && static_cast<unsigned char>(Bytes[at]) >= 0x20)
            ++at;
        return at;
    }

    static constexpr bool IsFinalLetter(char Ch) {
        return (Ch >= 'A' && Ch <= 'Z') || (Ch >= 'a' && Ch <= 'z');
    }

protected:
    // One byte of an open sequence (the bytes after its ESC).
    virtual TEscapeResult ProcessSequenceChar(char Ch) = 0;

    // Closes the current sequence with Code; the caller has already classified Data.
    TEscapeResult Complete(TEscapeCode Code) {
        FCode = Code;
        FInSequence = false;
        return erCode;
    }
    // An ESC outside a sequence: empties Data and opens a new sequence.
    TEscapeResult StartSequence() {
        FData.clear();
        FInSequence = true;
        return erNothing;
    }

    char FCharacter = 0;
    TEscapeCode FCode = ecUnknown;
    bool FInSequence = false;
    // Set by a dialect while the bytes of an open sequence are parameters that only gather:
    // ProcessChar appends them without asking the dialect, up to a final letter or the length
    // limit.
    bool FGatherParams = false;
    std::string FData;
    TEscapeParams FParams;
};

class TEscapeCodesVT52 final : public TEscapeCodes {
public:
    std::string EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params) const override;

    // Classifies the bytes gathered after an ESC; ecNotCompleted asks for more. A complete
    // ESC Y appends the row and the column to Params().
    TEscapeCode DetectCode(std::string_view Data);

private:
    TEscapeResult ProcessSequenceChar(char Ch) override;
};

class TEscapeCodesVT100 final : public TEscapeCodes {
public:
    std::string EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params) const override;

    // Sequences that do not start with "["; Params() is not touched.
    TEscapeCode DetectCode(std::string_view Data) const;
    // Sequences that start with "[": complete at a final letter, when Params() is replaced by
    // the parameters between the "[" and the letter.
    TEscapeCode DetectExtCode(std::string_view Data);

    bool InExtSequence() const { return FGatherParams; }

private:
    TEscapeResult ProcessSequenceChar(char Ch) override;
    void SplitParams(std::string_view Text);
};

} // namespace zv
