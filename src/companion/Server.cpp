#include "companion/SensorCompanion.h"

#include <cstdio>
#include <cstdlib>

namespace quorvantile::SensorCompanion {

void serve(bool, bool, bool)
{
    std::fputs("quorvantile-sensors: the server loop is not built yet\n", stderr);
    std::exit(kExitFailure);
}

} // namespace quorvantile::SensorCompanion
