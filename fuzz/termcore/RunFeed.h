// Feeding with text runs (ProcessText) must give what byte-by-byte feeding gives: this replays an
// input through a fresh parser in runs and returns a log to compare with the byte-by-byte log.
#pragma once

#include "terminal/EscapeCodes.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace zvfuzz {

// One log entry per result: the character, or the code with its data and parameters.
inline void LogResult(std::string& Log, zv::TEscapeCodes& Parser, zv::TEscapeResult Result) {
    if (Result == zv::erChar) {
        Log += 'c';
        Log += Parser.Character();
    } else if (Result == zv::erCode) {
        Log += 'k';
        Log += std::to_string(Parser.Code());
        Log += '|';
        Log += Parser.Data();
        for (const auto& p : Parser.Params()) {
            Log += '|';
            Log += p;
        }
        Log += '\n';
    }
}

template <typename Parser> std::string RunLog(const std::uint8_t* Data, std::size_t Size) {
    Parser parser;
    std::string log;
    const char* bytes = reinterpret_cast<const char*>(Data);
    std::size_t at = 0;
    while (at < Size) {
        const std::size_t text = parser.ProcessText(bytes + at, Size - at);
        for (std::size_t i = 0; i < text; ++i) {
            log += 'c';
            log += bytes[at + i];
        }
        at += text;
        if (at == Size)
            break;
        LogResult(log, parser, parser.ProcessChar(bytes[at++]));
        parser.Params().clear();
    }
    return log;
}

} // namespace zvfuzz
