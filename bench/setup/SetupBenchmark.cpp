// The setup side with the real companion as its child: how long enabling the sensors takes until
// the server is running, and how long stopping a child that obeys the end of its input takes (it
// must not sit out the 2-second grace period).
#include "CompanionProcess.h"
#include "SetupTestSupport.h"

#include "setup/SensorCompanionProcess.h"
#include "setup/SensorCompanionSetupState.h"
#include "setup/linux/ChildLaunch.h"
#include "setup/linux/PidfdChildLauncher.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace quorvantile::setup;
using quorvantile::setup::testing::FakeLogin;
using quorvantile::setup::testing::ManualExecutor;
using quorvantile::setup::testing::MemoryDefaults;
using quorvantile::setup::testing::runToEnd;
using quorvantile::setup::testing::waitFor;

const char* const kCompanion = QUORVANTILE_BIN_DIR "/quorvantile-sensors";

std::shared_ptr<SensorCompanionProcess> companion()
{
    return std::make_shared<SensorCompanionProcess>(kCompanion,
        pidfdChildLauncher(quorvantile::setup::openExecutable(kCompanion), quorvantile::setup::currentEnvironment()));
}

// From setEnabled(true) on the main executor to `running`: the stop of the idle controller, the
// launch, the ready line and the hops between the threads.
void EnableToRunning(benchmark::State& state)
{
    auto main = std::make_shared<ManualExecutor>();
    auto setup = SensorCompanionSetupState::create(
        std::make_shared<MemoryDefaults>(), companion(), std::make_shared<FakeLogin>(), main, main);
    for (auto _ : state) {
        if (!runToEnd(*main, setup->setEnabled(true)) || !setup->running()) {
            state.SkipWithError("the companion did not start");
            break;
        }
        state.PauseTiming();
        (void)runToEnd(*main, setup->setEnabled(false));
        state.ResumeTiming();
    }
}
BENCHMARK(EnableToRunning)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

// start(persistent: true) of the controller alone, until the ready line has been read.
void StartToReady(benchmark::State& state)
{
    const auto controller = companion();
    for (auto _ : state) {
        if (!waitFor(controller->start(true, {})).ok()) {
            state.SkipWithError("the companion did not start");
            break;
        }
        state.PauseTiming();
        (void)waitFor(controller->stop());
        state.ResumeTiming();
    }
}
BENCHMARK(StartToReady)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

// stop() of a managed server: it ends at the end of its input, long before the grace period.
void StopAtEndOfInput(benchmark::State& state)
{
    const auto controller = companion();
    for (auto _ : state) {
        state.PauseTiming();
        if (!waitFor(controller->start(true, {})).ok()) {
            state.SkipWithError("the companion did not start");
            break;
        }
        state.ResumeTiming();
        if (!waitFor(controller->stop()).ok()) {
            state.SkipWithError("the companion did not stop");
            break;
        }
    }
}
BENCHMARK(StopAtEndOfInput)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    // The companion children serve from a private runtime folder and read the fixture machine.
    const quorvantile::testing::CompanionEnvironment environment;
    for (const auto& [name, value] : environment.variables) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
