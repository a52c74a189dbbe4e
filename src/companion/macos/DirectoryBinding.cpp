// The platform has neither O_PATH nor a bind relative to a descriptor (no bindat, no /proc/self/fd),
// so the socket is bound by path and then proven to sit in the directory that was checked. The group
// container lies where the platform protects it (only the user's processes of the application group
// reach it), so the proof catches a moved or replaced container rather than another user racing the
// bind, which the Linux runtime folder has to fear.
#include "companion/DirectoryBinding.h"

#include "companion/CheckedPathBinding.h"

#include <fcntl.h>

namespace quorvantile {

// O_SEARCH asks only for the search permission that the lookups need, as O_PATH does on Linux. A
// kernel that does not know O_EXEC ignores it, which leaves a read-only directory descriptor.
UniqueFd openLookupDirectory(const std::string& path)
{
#ifdef O_SEARCH
    constexpr int kLookupOnly = O_SEARCH;
#else
    constexpr int kLookupOnly = O_RDONLY | O_DIRECTORY;
#endif
    return UniqueFd(open(path.c_str(), kLookupOnly | O_NOFOLLOW | O_CLOEXEC));
}

std::optional<std::string> bindInDirectory(int socket, int directory, const std::string& path, std::string_view name)
{
    return bindByPathInDirectory(socket, directory, path, name);
}

} // namespace quorvantile
