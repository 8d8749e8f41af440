#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

extern char** environ;

namespace clitest {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Result Spawn(const std::vector<std::string>& argv, const fs::path& dir,
             const std::vector<std::string>& extraEnv) {
    const std::string outPath = (dir / "stdout.txt").string();
    const std::string errPath = (dir / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // An extra entry replaces the inherited one of its name (PATH without a program, say).
    auto replaced = [&](const char* entry) {
        const std::string_view text(entry);
        const std::string_view name = text.substr(0, text.find('=') + 1);
        return std::any_of(extraEnv.begin(), extraEnv.end(),
                           [&](const std::string& e) { return e.starts_with(name); });
    };
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (!replaced(*e))
            env.push_back(*e);
    for (const std::string& e : extraEnv)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    Result result;
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": error " << spawned;
        return result;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadAll(outPath);
    result.err = ReadAll(errPath);
    fs::remove(outPath);
    fs::remove(errPath);
    return result;
}

} // namespace clitest
