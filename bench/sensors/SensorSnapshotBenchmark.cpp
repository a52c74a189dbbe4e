// One SensorHardware::snapshot(roots) on each fixture machine, through the system ports exactly as
// the server calls it.
// File opens per snapshot: run one iteration under strace, e.g.
//   strace -f -e trace=openat,open -o opens.txt bin/sensor_snapshot_benchmark
//     --benchmark_filter=intelMac --benchmark_min_time=1x
// and count the lines naming the fixture tree.
#include "sensors/SensorHardware.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void snapshotOf(benchmark::State& state, const std::string& machine, bool expectSnapshot)
{
    const std::string base = std::string(QUORVANTILE_FIXTURES_DIR) + "/sensors/" + machine;
    const quorvantile::SystemRoots roots {base + "/sys", base + "/proc"};
    std::size_t readings = 0;
    for (auto _ : state) {
        const auto snapshot = quorvantile::SensorHardware::snapshot(roots);
        if (snapshot.has_value() != expectSnapshot) {
            state.SkipWithError("the fixture machine did not give the expected snapshot");
            break;
        }
        readings = snapshot ? snapshot->readings.size() : 0;
        benchmark::DoNotOptimize(snapshot);
    }
    state.counters["readings"] = static_cast<double>(readings);
}

BENCHMARK_CAPTURE(snapshotOf, intelMac, std::string("intel-mac"), true);
BENCHMARK_CAPTURE(snapshotOf, laptopEnergy, std::string("laptop-energy"), true);
BENCHMARK_CAPTURE(snapshotOf, desktop, std::string("desktop"), true);
BENCHMARK_CAPTURE(snapshotOf, noSensors, std::string("no-sensors"), false);
BENCHMARK_CAPTURE(snapshotOf, twoBatteries, std::string("two-batteries"), true);
BENCHMARK_CAPTURE(snapshotOf, impossibleBattery, std::string("impossible-battery"), true);

} // namespace

BENCHMARK_MAIN();
