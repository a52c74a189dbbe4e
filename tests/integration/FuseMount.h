#pragma once

#include "CompanionProcess.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvantile::testing {

// A folder shown again through FUSE by bindfs (its daemon a child in the foreground), whose daemon a
// test can stop so that every request to the file system waits. Whatever the test asserted, the
// daemon is continued, the mount detached and the daemon ended when this goes away.
class FuseMount {
public:
    // `source` at a fresh mount point, with bindfs `options` ("--force-user=root" …).
    explicit FuseMount(const std::string& source, const std::vector<std::string>& options = {});
    ~FuseMount();
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;

    // Why this machine cannot mount it, for GTEST_SKIP; nullopt when the mount is up.
    [[nodiscard]] const std::optional<std::string>& unavailable() const { return unavailable_; }
    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    void stop(); // the daemon takes SIGSTOP: the file system stops answering
    void resume();

private:
    TemporaryDirectory parent_;
    std::string path_;
    std::unique_ptr<ChildProcess> daemon_;
    std::optional<std::string> unavailable_;
};

} // namespace quorvantile::testing
