// "appview1" end to end, as a person or a script would ask it: the query tool started, connected,
// answered and finished, against ps and psutil started to gather the same fields for the same user.
// Each side is a whole program run, process start included.
//
// The run starts 500 sleeping children first (so that the user has at least that many processes)
// and a managed companion, and stops both at the end.

#include "BenchCommands.h"
#include "CompanionProcess.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace quorvantile;

constexpr int kChildren = 500;

std::string& socketPath()
{
    static std::string path;
    return path;
}

void runEachIteration(benchmark::State& state, const std::vector<std::string>& command)
{
    double cpuSeconds = 0;
    for (auto _ : state) {
        if (!bench::runQuietly(command, cpuSeconds)) {
            state.SkipWithError((command[0] + " failed").c_str());
            return;
        }
    }
    bench::reportCommandCpu(state, cpuSeconds);
}

void BM_InventoryWithQueryTool(benchmark::State& state)
{
    runEachIteration(
        state, {testing::binary("quorvantile-sensors-query"), "--json", "--socket", socketPath(), "inventory"});
}
BENCHMARK(BM_InventoryWithQueryTool)->Unit(benchmark::kMillisecond);

void BM_InventoryWithPs(benchmark::State& state) { runEachIteration(state, bench::psCommand()); }
BENCHMARK(BM_InventoryWithPs)->Unit(benchmark::kMillisecond);

void BM_InventoryWithPsutil(benchmark::State& state) { runEachIteration(state, bench::psutilCommand()); }
BENCHMARK(BM_InventoryWithPsutil)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const bench::SleepingChildren sleepers(kChildren);
    const testing::CompanionEnvironment environment;
    const auto server = environment.start("--managed-server");
    if (!server->readLine(5.0)) {
        std::fputs("the companion did not get ready\n", stderr);
        return 1;
    }
    socketPath() = environment.socketPath();
    std::fprintf(stderr, "started %zu sleeping children and a companion\n", sleepers.pids().size());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
