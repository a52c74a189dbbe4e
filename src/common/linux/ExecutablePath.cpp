#include "common/ExecutablePath.h"

#include <system_error>

namespace quorvantile {

std::optional<std::filesystem::path> ownExecutable()
{
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return executable;
}

} // namespace quorvantile
