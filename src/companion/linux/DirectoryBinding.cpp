#include "companion/DirectoryBinding.h"

#include "companion/SensorTransport.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace quorvantile {

// O_PATH needs no permission on the directory and gives a descriptor good for nothing but lookups.
UniqueFd openLookupDirectory(const std::string& path)
{
    return UniqueFd(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

// The kernel resolves /proc/self/fd/N to the very directory behind the descriptor, whatever its path
// names by now: the bind cannot land anywhere else.
std::optional<std::string> bindInDirectory(
    int socket, int directory, const std::string& /*path*/, std::string_view name)
{
    const auto address =
        SensorTransport::address("/proc/self/fd/" + std::to_string(directory) + "/" + std::string(name));
    if (!address) {
        return "the socket name is too long";
    }
    if (bind(socket, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        return std::strerror(errno);
    }
    return std::nullopt;
}

} // namespace quorvantile
