// The companion as its parent sees it: start-to-ready time and resident memory of a managed
// server, and snapshot requests per second over the real socket, one after another.
#include "CompanionProcess.h"
#include "QueryClient.h"

#include "common/Clock.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace {

using quorvantile::systemClock;
using quorvantile::testing::binary;
using quorvantile::testing::ChildProcess;
using quorvantile::testing::CompanionEnvironment;

double residentKibibytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6));
        }
    }
    return 0;
}

void StartToReady(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        CompanionEnvironment environment;
        state.ResumeTiming();
        ChildProcess server(
            {binary("quorvantile-sensors"), "--managed-server"}, {.environment = environment.variables});
        if (!server.readLine(5.0)) {
            state.SkipWithError("the companion did not get ready");
            break;
        }
        state.PauseTiming();
        state.counters["resident_KiB"] = residentKibibytes(server.pid());
        server.closeInput();
        (void)server.waitForExit(5.0);
        state.ResumeTiming();
    }
}
BENCHMARK(StartToReady)->Unit(benchmark::kMillisecond)->Iterations(20);

void SnapshotRequests(benchmark::State& state)
{
    CompanionEnvironment environment;
    ChildProcess server({binary("quorvantile-sensors"), "--managed-server"}, {.environment = environment.variables});
    if (!server.readLine(5.0)) {
        state.SkipWithError("the companion did not get ready");
        return;
    }
    const auto request = *quorvantile::query::requestNamed("snapshot");
    for (auto _ : state) {
        auto outcome = quorvantile::query::ask(environment.socketPath(), request, {}, 5.0);
        if (!std::holds_alternative<std::string>(outcome)) {
            state.SkipWithError(std::get<quorvantile::query::Failure>(outcome).message.c_str());
            break;
        }
        benchmark::DoNotOptimize(outcome);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["resident_KiB"] = residentKibibytes(server.pid());
    server.closeInput();
    (void)server.waitForExit(5.0);
}
BENCHMARK(SnapshotRequests)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
