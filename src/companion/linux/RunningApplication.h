#pragma once

#include "common/Environment.h"
#include "common/UniqueFd.h"
#include "companion/AppQuitOperatingSystem.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvantile {

namespace mounts {
class MountTable;
} // namespace mounts

// Where the lookup reads: procfs and the data folders that hold desktop entries, most important first.
struct RunningApplicationSources {
    std::string procRoot = "/proc";
    std::vector<std::string> dataDirectories;
};

// The sources of this system: the real /proc (never a configured root: the pidfd acts on the real
// process) and the folders of $XDG_DATA_HOME and $XDG_DATA_DIRS.
[[nodiscard]] RunningApplicationSources systemRunningApplicationSources(const Environment& environment);

// A desktop application on Linux: the main process of a systemd app unit, pinned by a pidfd taken
// when it was looked up, so that a reused pid can never receive its SIGTERM.
class LinuxRunningApplication final : public AppQuitApplication {
public:
    LinuxRunningApplication(std::int32_t pid, std::string applicationID, ActivationPolicy policy, UniqueFd pidfd);

    [[nodiscard]] std::int32_t processIdentifier() const override { return pid_; }
    [[nodiscard]] std::optional<std::string> bundleIdentifier() const override { return applicationID_; }
    [[nodiscard]] ActivationPolicy activationPolicy() const override { return policy_; }
    // The pidfd reports the process's exit.
    [[nodiscard]] bool isTerminated() const override;
    // SIGTERM through the pidfd, once; nothing stronger, ever.
    [[nodiscard]] bool terminate() override;

private:
    std::int32_t pid_;
    std::string applicationID_;
    ActivationPolicy policy_;
    UniqueFd pidfd_;
};

// The running application whose main process is `pid`: its application ID from the systemd app unit
// in its cgroup (or, outside one, from a Flatpak's .flatpak-info), the unit's oldest process as the
// main process, the activation policy from the first desktop entry "<ID>.desktop" found. Null when
// `pid` is not the main process of an application. `mounts` (this process's mount table) locates the
// cgroup hierarchies and tells which files may be read without stalling: a desktop entry behind a
// mount that may stall cannot be seen, and then no entry can be said to decide, so the application
// counts as having none.
[[nodiscard]] std::unique_ptr<LinuxRunningApplication> lookUpRunningApplication(
    std::int32_t pid, const RunningApplicationSources& sources, mounts::MountTable& mounts);

} // namespace quorvantile
