#pragma once

#include <filesystem>
#include <optional>

namespace quorvantile {

// This program's own executable file: the one the setup application starts its server from, and
// the place the settings window's module is found relative to. Absent when the platform cannot
// tell.
[[nodiscard]] std::optional<std::filesystem::path> ownExecutable();

} // namespace quorvantile
