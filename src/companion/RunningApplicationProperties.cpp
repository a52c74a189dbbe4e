#include "companion/RunningApplicationProperties.h"

#include "common/Text.h"

namespace quorvantile {

ActivationPolicy activationPolicyFromPlatform(std::int64_t platformPolicy)
{
    switch (platformPolicy) {
    case 0:
        return ActivationPolicy::regular;
    case 1:
        return ActivationPolicy::accessory;
    default:
        return ActivationPolicy::prohibited;
    }
}

std::optional<std::string> bundleIdentifierFromPlatform(std::optional<std::string> text)
{
    if (!text || text->empty() || text->find('\0') != std::string::npos || !text::isValidUtf8(*text)) {
        return std::nullopt;
    }
    return text;
}

} // namespace quorvantile
