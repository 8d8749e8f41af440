// A test program's own configuration folder: XDG_CONFIG_HOME points into a fresh temporary
// folder for the program's whole run (and for every program it starts), so no test reads or
// writes the user's settings. A program that cannot make the folder stops at once rather than
// fall back to the real one.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <stdlib.h>

namespace zv::test {

class TemporaryConfigHome {
public:
    TemporaryConfigHome() {
        const char* tmp = std::getenv("TMPDIR");
        std::string path =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zelvator-config-XXXXXX";
        if (::mkdtemp(path.data()) == nullptr) {
            std::perror("cannot make a temporary configuration folder");
            std::abort();
        }
        dir = path;
        ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    }
    ~TemporaryConfigHome() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TemporaryConfigHome(const TemporaryConfigHome&) = delete;
    TemporaryConfigHome& operator=(const TemporaryConfigHome&) = delete;

    // Where the platform keeps this program's settings inside it.
    std::filesystem::path Folder() const { return std::filesystem::path(dir) / "zelvator"; }

    std::string dir;
};

} // namespace zv::test
