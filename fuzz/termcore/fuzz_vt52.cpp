// VT52 parser: any byte stream. Every completed sequence is bounded, never "not completed", and
// every recognised one encodes back to exactly the bytes it was read from.
#include "fuzz/termcore/FuzzCheck.h"
#include "fuzz/termcore/RunFeed.h"
#include "terminal/EscapeCodes.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zv::TEscapeCodesVT52 parser;
    std::string log;
    for (std::size_t i = 0; i < size; ++i) {
        const char ch = static_cast<char>(data[i]);
        const zv::TEscapeResult result = parser.ProcessChar(ch);
        zvfuzz::LogResult(log, parser, result);
        ZV_FUZZ_CHECK(parser.Data().size() <= zv::TEscapeCodes::kMaxSequenceLength);
        switch (result) {
        case zv::erChar:
            ZV_FUZZ_CHECK(ch != zv::TEscapeCodes::ESC);
            ZV_FUZZ_CHECK(parser.Character() == ch);
            break;
        case zv::erCode: {
            const zv::TEscapeCode code = parser.Code();
            ZV_FUZZ_CHECK(code != zv::ecNotCompleted);
            ZV_FUZZ_CHECK(!parser.InSequence());
            for (int n = 0; n <= static_cast<int>(parser.Params().size()) + 1; ++n)
                (void)zv::TEscapeCodes::GetParam(n, &parser.Params());
            if (code != zv::ecUnknown) {
                const std::string again = parser.EscCodeToStr(code, &parser.Params());
                ZV_FUZZ_CHECK(again == std::string(1, zv::TEscapeCodes::ESC) + parser.Data());
            }
            parser.Params().clear();
            break;
        }
        case zv::erNothing:
            ZV_FUZZ_CHECK(parser.InSequence());
            break;
        }
    }
    ZV_FUZZ_CHECK(log == zvfuzz::RunLog<zv::TEscapeCodesVT52>(data, size));
    return 0;
}
