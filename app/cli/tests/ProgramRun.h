// Runs a program the way a user's shell would, with its output captured, for tests that check
// exit status and messages of the built command-line tools.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace clitest {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::filesystem::path& path);

// Runs argv[0] (searched in PATH) with stdout and stderr in files of `dir`, so neither is a
// terminal, and `extraEnv` ("NAME=value") added to this process's environment, replacing an
// inherited value of the same name. Returns the exit status (128 + signal when killed) and both
// outputs. A program still running after `timeoutSeconds` is killed and the test fails: a
// hanging program never hangs the suite.
Result Spawn(const std::vector<std::string>& argv, const std::filesystem::path& dir,
             const std::vector<std::string>& extraEnv = {}, int timeoutSeconds = 120);

// As Spawn, with standard output on the descriptor `stdoutFd` of this process (a pipe of the
// test's own, for example); Result::out stays empty.
Result SpawnToDescriptor(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                         int stdoutFd, int timeoutSeconds = 120);

} // namespace clitest
