// Prints the JSON of one sensor snapshot of this machine, or says on standard error why there is
// none. Set QUORVANTILE_SYSFS_ROOT and QUORVANTILE_PROC_ROOT to read a fixture machine instead.
#include "sensors/SensorHardware.h"

#include <cstdio>

int main()
{
    using namespace quorvantile;
    const auto snapshot = SensorHardware::snapshot(readEnvironment().roots);
    if (!snapshot) {
        std::fprintf(stderr, "no sensor snapshot on this machine: %s\n", snapshot.reason().c_str());
        return 1;
    }
    const auto text = json::encode(*snapshot);
    if (!text || std::printf("%s\n", text->c_str()) < 0) {
        return 1;
    }
    return 0;
}
