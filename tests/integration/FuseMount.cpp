#include "FuseMount.h"

#include "common/linux/MountedFiles.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace quorvantile::testing {
namespace {

constexpr const char* kBindfs = "/usr/bin/bindfs";
constexpr double kMountSeconds = 10.0;

// The mount point is on another mount than its parent folder.
bool mounted(const std::string& parent, const std::string& path)
{
    const auto above = mounts::fileStatus(AT_FDCWD, parent.c_str());
    const auto below = mounts::fileStatus(AT_FDCWD, path.c_str());
    return above && below && above->mountId != below->mountId;
}

} // namespace

FuseMount::FuseMount(const std::string& source, const std::vector<std::string>& options)
    : path_(parent_.path() + "/mount")
{
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        unavailable_ = "/dev/fuse is missing or not usable here";
        return;
    }
    if (access(kBindfs, X_OK) != 0) {
        unavailable_ = "bindfs is not installed (scripts/bootstrap installs it)";
        return;
    }
    if (mkdir(path_.c_str(), 0755) != 0) {
        unavailable_ = "no mount point";
        return;
    }
    std::vector<std::string> command {kBindfs, "-f"};
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), {source, path_});
    daemon_ = std::make_unique<ChildProcess>(command, ChildOptions {.errorsToPipe = true});
    for (int attempt = 0; attempt < static_cast<int>(kMountSeconds * 100); ++attempt) {
        if (mounted(parent_.path(), path_)) {
            return;
        }
        if (daemon_->waitForExit(0.01)) {
            break;
        }
    }
    unavailable_ = "bindfs could not mount here: " + daemon_->readErrors(0.5);
}

FuseMount::~FuseMount()
{
    if (!daemon_) {
        return;
    }
    daemon_->kill(SIGCONT);
    // Detached at once even while busy; without root, through the setuid helper.
    if (umount2(path_.c_str(), MNT_DETACH) != 0) {
        ChildProcess helper({"/usr/bin/fusermount3", "-u", "-z", path_}, {.errorsToPipe = true});
        static_cast<void>(helper.waitForExit(kMountSeconds));
    }
    daemon_->kill(SIGTERM);
    static_cast<void>(daemon_->waitForExit(kMountSeconds));
    daemon_.reset(); // killed and reaped if it did not end
    rmdir(path_.c_str());
}

void FuseMount::stop()
{
    if (daemon_) {
        daemon_->kill(SIGSTOP);
    }
}

void FuseMount::resume()
{
    if (daemon_) {
        daemon_->kill(SIGCONT);
    }
}

} // namespace quorvantile::testing
