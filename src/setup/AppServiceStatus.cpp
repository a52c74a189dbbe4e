#include "setup/AppServiceStatus.h"

namespace quorvantile::setup {

LoginItemStatus loginItemStatus(std::int64_t platformStatus)
{
    switch (platformStatus) {
    case 0:
        return LoginItemStatus::notRegistered;
    case 1:
        return LoginItemStatus::enabled;
    case 2:
        return LoginItemStatus::requiresApproval;
    default:
        return LoginItemStatus::notFound;
    }
}

} // namespace quorvantile::setup
