#include "ProgramRun.h"
#include "platform/tests/TemporaryConfigHome.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string_view>
#include <thread>

extern char** environ;

namespace clitest {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

namespace {

// Every program these tests start reads its stored settings from a temporary configuration
// folder (XDG_CONFIG_HOME, inherited), never the user's; a test may name another one.
const zv::test::TemporaryConfigHome configHome;

Result Run(const std::vector<std::string>& argv, const fs::path& dir,
           const std::vector<std::string>& extraEnv, int stdoutFd, int timeoutSeconds) {
    const std::string outPath = (dir / "stdout.txt").string();
    const std::string errPath = (dir / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    else
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << argv[0] << " did not end within " << timeoutSeconds << " s";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadAll(outPath);
    result.err = ReadAll(errPath);
    fs::remove(outPath);
    fs::remove(errPath);
    return result;
}

} // namespace

Result Spawn(const std::vector<std::string>& argv, const fs::path& dir,
             const std::vector<std::string>& extraEnv, int timeoutSeconds) {
    return Run(argv, dir, extraEnv, -1, timeoutSeconds);
}

Result SpawnToDescriptor(const std::vector<std::string>& argv, const fs::path& dir, int stdoutFd,
                         int timeoutSeconds) {
    return Run(argv, dir, {}, stdoutFd, timeoutSeconds);
}

} // namespace clitest
