#pragma once

#include "common/UniqueFd.h"

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace quorvantile::codesign::testing {

// Starts a peer program that connects to a fresh socket in `directory`, and accepts its connection.
// The peer stays until the connection is closed; the destructor closes it and reaps the peer.
class RunningPeer {
public:
    RunningPeer(const std::filesystem::path& program, const std::filesystem::path& directory,
        std::optional<uid_t> user = std::nullopt);
    RunningPeer(const RunningPeer&) = delete;
    RunningPeer& operator=(const RunningPeer&) = delete;
    ~RunningPeer();

    [[nodiscard]] bool connected() const { return connection_.valid(); }
    [[nodiscard]] int connection() const { return connection_.get(); }
    [[nodiscard]] pid_t pid() const { return pid_; }

    // Kills the peer; with `reap` also collects it, so that its pid may be reused.
    void kill(bool reap);

private:
    UniqueFd listener_;
    UniqueFd connection_;
    pid_t pid_ = -1;
};

} // namespace quorvantile::codesign::testing
