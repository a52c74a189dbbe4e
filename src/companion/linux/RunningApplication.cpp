#include "companion/linux/RunningApplication.h"

#include "common/FileText.h"
#include "common/linux/MountTable.h"
#include "common/linux/MountedFiles.h"
#include "companion/linux/RunningApplicationText.h"
#include "processes/linux/ProcfsText.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <limits>
#include <utility>

namespace quorvantile {
namespace {

namespace apps = applications;

constexpr std::size_t kMaximumProcTextBytes = 64 * 1024;
constexpr std::size_t kMaximumStatBytes = 4096; // a stat line is a few hundred bytes
constexpr std::size_t kMaximumDesktopEntryBytes = 256 * 1024;
constexpr std::size_t kMaximumCgroupProcsBytes = 256 * 1024;
// A unit's own sub-cgroups are walked this deep and this many; a larger unit has no main process
// we could name with confidence.
constexpr int kMaximumCgroupDepth = 8;
constexpr std::size_t kMaximumCgroups = 256;
constexpr std::size_t kMaximumUnitProcesses = 4096;

int openPidfd(std::int32_t pid) noexcept { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U)); }

bool signalPidfd(int pidfd, int signal) noexcept
{
    return syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U) == 0;
}

std::string processPath(const RunningApplicationSources& sources, std::int32_t pid, std::string_view entry)
{
    return sources.procRoot + "/" + std::to_string(pid) + (entry.empty() ? "" : "/") + std::string(entry);
}

// A regular file only: a FIFO or device placed where an entry is expected must not stall the server.
std::optional<std::string> readRegularFile(
    int directoryFd, const std::string& path, std::size_t maximumBytes, int flags)
{
    const UniqueFd file(openat(directoryFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags));
    struct stat status { };
    if (!file || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    std::string buffer;
    const auto text = readFileStart(file.get(), maximumBytes + 1, buffer);
    if (!text || text->size() > maximumBytes) {
        return std::nullopt;
    }
    return std::string(*text);
}

// Adds the processes of the cgroup folder `folder` and of its sub-cgroups to `pids`.
bool collectProcesses(int folder, int depth, std::size_t& cgroups, std::vector<std::int32_t>& pids)
{
    if (depth > kMaximumCgroupDepth || ++cgroups > kMaximumCgroups) {
        return false;
    }
    const auto procs = readRegularFile(folder, "cgroup.procs", kMaximumCgroupProcsBytes, 0);
    const auto listed = procs ? apps::parseProcessIDs(*procs) : std::nullopt;
    if (!listed) {
        return false;
    }
    pids.insert(pids.end(), listed->begin(), listed->end());
    if (pids.size() > kMaximumUnitProcesses) {
        return false;
    }
    const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* directory = listing < 0 ? nullptr : fdopendir(listing);
    if (directory == nullptr) {
        if (listing >= 0) {
            close(listing);
        }
        return false;
    }
    bool complete = true;
    while (const dirent* entry = readdir(directory)) {
        const std::string_view name = entry->d_name;
        if (entry->d_type != DT_DIR || name == "." || name == "..") {
            continue;
        }
        const UniqueFd child(openat(folder, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child || !collectProcesses(child.get(), depth + 1, cgroups, pids)) {
            complete = false;
            break;
        }
    }
    closedir(directory);
    return complete;
}

// The oldest process of the cgroup at `folder` and its sub-cgroups; ties go to the lower pid (the
// parent, unless pids wrapped in between).
std::optional<std::int32_t> oldestProcess(const std::string& folder, const RunningApplicationSources& sources)
{
    const UniqueFd root(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::int32_t> pids;
    std::size_t cgroups = 0;
    if (!root || !collectProcesses(root.get(), 0, cgroups, pids)) {
        return std::nullopt;
    }
    std::optional<std::pair<std::uint64_t, std::int32_t>> oldest;
    for (const std::int32_t pid : pids) {
        const auto stat = readWholeFile(AT_FDCWD, processPath(sources, pid, "stat"), kMaximumStatBytes);
        const auto fields = stat ? procfs::parseStat(*stat) : std::nullopt;
        if (!fields) {
            continue; // ended meanwhile
        }
        const std::pair candidate {fields->startTicks, pid};
        if (!oldest || candidate < *oldest) {
            oldest = candidate;
        }
    }
    return oldest ? std::optional(oldest->second) : std::nullopt;
}

// The first desktop entry "<id>.desktop" found decides; none found is no application entry. A folder
// behind a mount that may stall could hold the entry that decides, so then no entry decides.
ActivationPolicy policyOf(
    const std::string& id, const RunningApplicationSources& sources, const mounts::MountTable& table)
{
    for (const std::string& directory : sources.dataDirectories) {
        std::string path = directory;
        path.append("/applications/").append(id).append(".desktop");
        const auto entry = mounts::openWithoutStalling(path, table);
        if (!entry) {
            return ActivationPolicy::prohibited;
        }
        const auto status = *entry ? mounts::fileStatus(entry->get()) : std::nullopt;
        if (!status || !S_ISREG(status->mode)) {
            continue;
        }
        const auto text = mounts::readSteadyFile(entry->get(), table, kMaximumDesktopEntryBytes);
        return apps::activationPolicy(text ? apps::parseDesktopEntry(*text) : std::nullopt);
    }
    return ActivationPolicy::prohibited;
}

// The application name of a Flatpak's /.flatpak-info, seen through the process's root. The sandbox's
// files lie on mounts of its own namespace, so they are judged by the process's own mount table; the
// file is the sandbox's, never a link out of it.
std::optional<std::string> flatpakApplication(int processDirectory)
{
    mounts::MountTable theirs("/proc/self/fd/" + std::to_string(processDirectory) + "/mountinfo");
    const auto target = theirs.refresh() ? mounts::linkTarget(processDirectory, "root", theirs) : std::nullopt;
    const UniqueFd root =
        target ? mounts::openLinkTarget(processDirectory, "root", *target, O_PATH | O_DIRECTORY) : UniqueFd();
    const UniqueFd info(root ? openat(root.get(), ".flatpak-info", O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1);
    const auto text = info ? mounts::readSteadyFile(info.get(), theirs, kMaximumProcTextBytes) : std::nullopt;
    return text ? apps::flatpakApplicationName(*text) : std::nullopt;
}

} // namespace

RunningApplicationSources systemRunningApplicationSources(const Environment& environment)
{
    const auto text = [](const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; };
    RunningApplicationSources sources;
    sources.dataDirectories =
        apps::dataDirectories(text(environment.dataHome), text(environment.home), text(environment.dataDirs));
    return sources;
}

LinuxRunningApplication::LinuxRunningApplication(
    std::int32_t pid, std::string applicationID, ActivationPolicy policy, UniqueFd pidfd)
    : pid_(pid), applicationID_(std::move(applicationID)), policy_(policy), pidfd_(std::move(pidfd))
{
}

bool LinuxRunningApplication::isTerminated() const
{
    // A pidfd turns readable when its process exits.
    pollfd entry {pidfd_.get(), POLLIN, 0};
    return !pidfd_ || poll(&entry, 1, 0) != 0;
}

bool LinuxRunningApplication::terminate() { return !isTerminated() && signalPidfd(pidfd_.get(), SIGTERM); }

std::unique_ptr<LinuxRunningApplication> lookUpRunningApplication(
    std::int32_t pid, const RunningApplicationSources& sources, mounts::MountTable& mounts)
{
    if (pid < 1 || !mounts.refresh()) {
        return nullptr;
    }
    // Taken first: while it reports the process alive, the pid names the process read below.
    UniqueFd pidfd(openPidfd(pid));
    const UniqueFd process(pidfd ? open(processPath(sources, pid, "").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    const auto cgroupText = process ? readWholeFile(process.get(), "cgroup", kMaximumProcTextBytes) : std::nullopt;
    const auto cgroup = cgroupText ? apps::systemdCgroup(*cgroupText) : std::nullopt;
    if (!cgroup) {
        return nullptr;
    }
    std::string id;
    std::string_view group = cgroup->path;
    if (auto unit = apps::applicationUnit(cgroup->path)) {
        id = std::move(unit->applicationID);
        group = unit->unitPath;
    } else {
        auto name = flatpakApplication(process.get());
        if (!name) {
            return nullptr;
        }
        id = std::move(*name);
    }

    const auto hierarchies = apps::cgroupMounts(mounts.mounts());
    const auto& mount =
        cgroup->hierarchy == apps::CgroupHierarchy::unified ? hierarchies.unified : hierarchies.namedSystemd;
    const auto folder = mount ? apps::cgroupFolder(*mount, group) : std::nullopt;
    if (!folder || oldestProcess(*folder, sources) != pid) {
        return nullptr;
    }
    const ActivationPolicy policy = policyOf(id, sources, mounts);
    if (!signalPidfd(pidfd.get(), 0)) {
        return nullptr; // reaped meanwhile: what was read may describe another process
    }
    return std::make_unique<LinuxRunningApplication>(pid, std::move(id), policy, std::move(pidfd));
}

} // namespace quorvantile
