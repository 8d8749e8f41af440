// --help and --version of the window programs, answered before Qt starts so that both work
// without a display (as man-page generators and package checks run them).
#pragma once

#include <optional>
#include <string_view>

namespace zv {

// When the arguments ask for --help (-h) or --version, prints the help text or "PROGRAM
// VERSION" to standard output and returns the exit status (0, or 1 when the output could not be
// written). Otherwise returns nothing, and the program starts; Qt's own options pass through.
std::optional<int> AnswerInfoOption(int argc, char** argv, std::string_view Program,
                                    std::string_view Version, std::string_view Help);

} // namespace zv
