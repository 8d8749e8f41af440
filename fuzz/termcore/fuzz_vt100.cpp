// VT100 parser: any byte stream. Open sequences stay bounded, a completed code is never "not
// completed", and every code with a VT100 form decodes from its own encoding to itself.
#include "fuzz/termcore/FuzzCheck.h"
#include "fuzz/termcore/RunFeed.h"
#include "terminal/EscapeCodes.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

zv::TEscapeCode decode(const std::string& Bytes) {
    zv::TEscapeCodesVT100 parser;
    zv::TEscapeResult result = zv::erNothing;
    for (const char ch : Bytes)
        result = parser.ProcessChar(ch);
    ZV_FUZZ_CHECK(result == zv::erCode);
    return parser.Code();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zv::TEscapeCodesVT100 parser;
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
            ZV_FUZZ_CHECK(!parser.InSequence() && !parser.InExtSequence());
            for (const auto& p : parser.Params())
                ZV_FUZZ_CHECK(!p.empty());
            for (int n = 0; n <= static_cast<int>(parser.Params().size()) + 1; ++n)
                (void)zv::TEscapeCodes::GetParam(n, &parser.Params());
            const std::string encoded = parser.EscCodeToStr(code, &parser.Params());
            if (!encoded.empty())
                ZV_FUZZ_CHECK(decode(encoded) == code);
            parser.Params().clear();
            break;
        }
        case zv::erNothing:
            ZV_FUZZ_CHECK(parser.InSequence());
            break;
        }
    }
    ZV_FUZZ_CHECK(log == zvfuzz::RunLog<zv::TEscapeCodesVT100>(data, size));
    return 0;
}
