#pragma once

#include "CompanionProcess.h"
#include "common/UniqueFd.h"

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

// A child process with its standard output and error on pipes, optionally as another user and
// traced by this process. Killed and reaped when the object goes away.
namespace quorvantile::hostile {

struct SpawnOptions {
    std::map<std::string, std::string> environment; // added to (or replacing) ours
    std::optional<uid_t> user; // switch to this uid (and gid) before exec; needs root
    bool traced = false; // PTRACE_TRACEME before exec; the parent then lets it run
};

[[nodiscard]] inline SpawnOptions withEnvironment(
    std::map<std::string, std::string> environment, std::optional<uid_t> user = std::nullopt, bool traced = false)
{
    SpawnOptions options;
    options.environment = std::move(environment);
    options.user = user;
    options.traced = traced;
    return options;
}

class Spawned {
public:
    Spawned(const std::vector<std::string>& command, const SpawnOptions& options = {});
    ~Spawned();
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    // The next line of standard output, waiting at most `seconds`.
    [[nodiscard]] std::optional<std::string> readLine(double seconds);
    // Everything on standard error once the process has closed it, waiting at most `seconds`.
    [[nodiscard]] std::string readErrors(double seconds);
    // The exit status, waiting at most `seconds` (for a traced child: letting it run meanwhile);
    // absent when it is still running or ended by a signal.
    [[nodiscard]] std::optional<int> waitForExit(double seconds);
    void kill(int signal);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    bool traced_ = false;
    UniqueFd output_, errors_;
    std::string buffered_;
};

using testing::binary;
using testing::connectTo;
using testing::TemporaryDirectory;

[[nodiscard]] std::map<std::string, std::string> companionEnvironment(const std::string& runtime);
[[nodiscard]] std::string containerOf(const std::string& runtime);
[[nodiscard]] std::string socketOf(const std::string& runtime);

// Entries of /proc/<pid>/fd; -1 when unreadable.
[[nodiscard]] int openDescriptors(pid_t pid);
// A "…kB" line of /proc/<pid>/status in bytes; -1 when missing.
[[nodiscard]] long statusBytes(pid_t pid, const std::string& key);

} // namespace quorvantile::hostile
