#include "setup/SetupError.h"

#include <system_error>

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
        // The C library's own text for the number, as strerror gives it, but safe on any thread.
        return std::generic_category().message(call->number);
    }
    if (const auto* platform = std::get_if<PlatformError>(&reason_)) {
        return platform->description;
    }
    return std::get<ParseError>(reason_).message;
}

} // namespace quorvantile::setup
