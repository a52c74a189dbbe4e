#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/SystemRegistry.h"

#include <benchmark/benchmark.h>

#include <string>

namespace quorvantile {
namespace {

// One "battery1" answer over a fixture tree, registry construction included as the server does it.
void accessorySnapshot(benchmark::State& state, const std::string& name)
{
    const std::string root = std::string(QUORVANTILE_FIXTURES_DIR) + "/accessories/" + name;
    for (auto _ : state) {
        const auto snapshot = AccessoryBatteryHardware::snapshot(*systemRegistry(root), systemClock());
        if (!snapshot) {
            state.SkipWithError("no snapshot");
            break;
        }
        benchmark::DoNotOptimize(snapshot->readings.data());
    }
}

BENCHMARK_CAPTURE(accessorySnapshot, workstation, std::string("workstation"));
BENCHMARK_CAPTURE(accessorySnapshot, bluetoothMouse, std::string("bluetooth-mouse"));
BENCHMARK_CAPTURE(accessorySnapshot, laptop, std::string("laptop"));

} // namespace
} // namespace quorvantile

BENCHMARK_MAIN();
