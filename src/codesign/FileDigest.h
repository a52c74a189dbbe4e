#pragma once

#include "codesign/CodeDirectory.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// Hashing a file's bytes (OpenSSL), through an already opened descriptor and by offset.
namespace quorvantile::codesign {

// Files are hashed in pieces of this size.
inline constexpr std::size_t kDigestChunkBytes = 256 * 1024;

// The SHA-256 of the first `bytes` bytes, also written to `copyTo` when that is a descriptor;
// absent on an error or when the file ends before.
[[nodiscard]] std::optional<Sha256Digest> sha256Prefix(int fd, std::uint64_t bytes, int copyTo = -1);

} // namespace quorvantile::codesign
