#pragma once

#include "common/UniqueFd.h"
#include "setup/SetupError.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace quorvantile::setup {

// What the server child is started with. The descriptors stay the caller's.
struct ChildLaunch {
    int executable = -1; // the program, opened with openExecutable
    int standardInput = -1; // becomes the child's 0
    int standardOutput = -1; // becomes the child's 1; standard error stays the parent's
    char* const* arguments = nullptr; // argv, ending with nullptr
    char* const* environment = nullptr; // envp, ending with nullptr
};

// Starts the program behind `launch.executable` (not whatever its path names by now) as a child
// with default signal handling, no blocked signals and no descriptor above standard error. Sets
// `pid` on success; on failure (the program could not be run) the child is already reaped and the
// error names the call that failed.
[[nodiscard]] Outcome launchChild(const ChildLaunch& launch, pid_t& pid);

// Opens `path` for running only (O_PATH, close-on-exec): the descriptor keeps naming that file
// after the path is replaced or removed, as when the package is upgraded. Invalid on failure
// (errno tells why).
[[nodiscard]] UniqueFd openExecutable(const std::string& path);

// This process's environment as "NAME=value" entries, for a child to be started with.
[[nodiscard]] std::vector<std::string> currentEnvironment();

} // namespace quorvantile::setup
