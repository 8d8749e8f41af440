#include "toolkit/qt/ProgramInfo.h"

#include <cstdio>
#include <string>

namespace zv {

std::optional<int> AnswerInfoOption(int argc, char** argv, std::string_view Program,
                                    std::string_view Version, std::string_view Help) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string text;
        if (arg == "--help" || arg == "-h")
            text = Help;
        else if (arg == "--version")
            text = std::string(Program) + " " + std::string(Version) + "\n";
        else
            continue;
        const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
        if (std::fflush(stdout) != 0 || !written) {
            std::perror((std::string(Program) + ": standard output").c_str());
            return 1;
        }
        return 0;
    }
    return std::nullopt;
}

} // namespace zv
