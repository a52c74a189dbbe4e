#include "companion/GroupContainer.h"

namespace quorvantile {

std::optional<std::string> companionSocketPath(const Environment& environment)
{
    auto container = groupContainer(environment);
    if (!container) {
        return std::nullopt;
    }
    return *container + "/" + std::string(kSocketFileName);
}

} // namespace quorvantile
