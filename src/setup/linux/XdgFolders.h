#pragma once

#include "common/Environment.h"
#include "setup/SetupError.h"

#include <filesystem>
#include <optional>
#include <string_view>

namespace quorvantile::setup {

// The file and folder name this application uses below the user's configuration folder.
inline constexpr std::string_view kApplicationIdentifier = "com.zembo.quorvantile.sensors";

// $XDG_CONFIG_HOME, else $HOME/.config, else the password entry's home's .config.
[[nodiscard]] std::optional<std::filesystem::path> configurationHome(const Environment& environment);

// This process's own executable: the target of /proc/self/exe.
[[nodiscard]] std::optional<std::filesystem::path> applicationExecutable();

// Creates the missing folders of `folder` with mode 0700.
[[nodiscard]] Outcome makeFolders(const std::filesystem::path& folder);

// Replaces `file` by `contents` so that readers see the old or the new file, never a part: a
// temporary file beside it is written, flushed to disk and renamed over it. Missing folders are
// created; the new file has mode 0600.
[[nodiscard]] Outcome writeFileAtomically(const std::filesystem::path& file, std::string_view contents);

} // namespace quorvantile::setup
