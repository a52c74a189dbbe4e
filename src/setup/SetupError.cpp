#include "setup/SetupError.h"

#include <cstring>

namespace quorvantile::setup {
namespace {

std::string describe(SensorCompanionProcessError error)
{
    switch (error) {
    case SensorCompanionProcessError::unavailable:
        return "unavailable";
    case SensorCompanionProcessError::notReady:
        return "notReady";
    case SensorCompanionProcessError::couldNotStop:
        return "couldNotStop";
    }
    return "unknown";
}

} // namespace

std::string SetupError::localizedDescription() const
{
    if (const auto* own = std::get_if<SensorCompanionProcessError>(&reason_)) {
        return describe(*own);
    }
    if (const auto* call = std::get_if<SystemCallError>(&reason_)) {
        char buffer[256];
        // The GNU strerror_r returns the text, which may or may not live in the buffer.
        return strerror_r(call->number, buffer, sizeof buffer);
    }
    return std::get<ParseError>(reason_).message;
}

} // namespace quorvantile::setup
