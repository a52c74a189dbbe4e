#pragma once

#include "processes/ProcessTable.h"

#include <array>
#include <cstdint>

namespace quorvantile::procfs {

// The executable's UUID as the process table reports it: the first 16 bytes of the GNU build-id note
// of the ELF file open on `fd`, zero-padded when the id is shorter, and 16 zero bytes when the file
// has no such note or is no ELF file. Reads only the program headers and the note segments.
[[nodiscard]] std::array<std::uint8_t, kUuidBytes> executableUuid(int fd);

// The same for the running executable of the process whose /proc directory is `processDirectory`,
// read only when it lies on a file system that cannot stall (else 16 zero bytes, as for a file
// without a build id): a request must not be able to hold the server on a hung FUSE or network mount.
[[nodiscard]] std::array<std::uint8_t, kUuidBytes> processExecutableUuid(int processDirectory);

} // namespace quorvantile::procfs
