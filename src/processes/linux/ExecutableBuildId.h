#pragma once

#include "processes/ProcessTable.h"

#include <array>
#include <cstdint>

namespace quorvantile::procfs {

// The executable's UUID as the process table reports it: the first 16 bytes of the GNU build-id note
// of the ELF file open on `fd`, zero-padded when the id is shorter, and 16 zero bytes when the file
// has no such note or is no ELF file. Reads only the program headers and the note segments.
[[nodiscard]] std::array<std::uint8_t, kUuidBytes> executableUuid(int fd);

} // namespace quorvantile::procfs
