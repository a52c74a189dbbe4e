// "appview1" end to end, as a person or a script would ask it: the query tool started, connected,
// answered and finished, against ps and psutil started to gather the same fields for the same user.
// Each side is a whole program run, process start included. Beside them, the companion's CPU time
// per inventory against the floor: a plain loop that only opens, reads and closes the files the
// process table reads, for the same processes, on one thread, and the same loop with the files kept
// open as the companion keeps them (InventoryFloor.h).
//
// The run starts 500 sleeping children first (so that the user has at least that many processes)
// and a managed companion, and stops both at the end. It ends with the ratios. On a machine whose
// speed moves during a run, take the medians of repetitions run in a shuffled order:
//
//   inventory_end_to_end_benchmark --benchmark_repetitions=8 --benchmark_enable_random_interleaving=true
//
//   inventory_end_to_end_benchmark [--bin-dir=DIR] [benchmark options]
//
// --bin-dir takes the companion and the query tool from another build's bin folder (they must come
// from the same build, which signs the one for the other), to compare builds on the same machine.

#include "BenchCommands.h"
#include "CompanionProcess.h"
#include "InventoryFloor.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace quorvantile;

constexpr int kChildren = 500;
// How long each command is run over, by the wall clock: this process only waits for it, so its own
// CPU time would take thousands of runs to reach any minimum.
constexpr double kCommandSeconds = 2.0;

std::string& binDirectory()
{
    static std::string directory = QUORVANTILE_BIN_DIR;
    return directory;
}

std::string& socketPath()
{
    static std::string path;
    return path;
}

pid_t& serverPid()
{
    static pid_t pid = -1;
    return pid;
}

// The figures of the runs the library reports, in milliseconds per iteration, one per repetition. The
// library also calls each benchmark with growing iteration counts before the run it reports; those
// shorter, colder runs are left out.
std::map<std::string, std::vector<double>>& figures()
{
    static std::map<std::string, std::vector<double>> values;
    return values;
}

class SummaryReporter final : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) == 1 ? OO_Color : OO_None) { }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const std::string& name = run.run_name.function_name;
            figures()[name].push_back(run.GetAdjustedRealTime());
            for (const auto& [counter, value] : run.counters) {
                figures()[name + "." + counter].push_back(value);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// The median of a figure's repetitions; 0 when it was not measured.
double median(const std::string& name)
{
    std::vector<double> values = figures()[name];
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// The CPU time the companion has used so far, all its threads counted, in seconds.
double serverCpuSeconds()
{
    clockid_t clock {};
    timespec used {};
    if (clock_getcpuclockid(serverPid(), &clock) != 0 || clock_gettime(clock, &used) != 0) {
        return 0;
    }
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

void runEachIteration(benchmark::State& state, const std::vector<std::string>& command, bool countServer = false)
{
    double cpuSeconds = 0;
    const double serverBefore = serverCpuSeconds();
    for (auto _ : state) {
        if (!bench::runQuietly(command, cpuSeconds)) {
            state.SkipWithError((command[0] + " failed").c_str());
            return;
        }
    }
    bench::reportCommandCpu(state, cpuSeconds);
    if (countServer) {
        const auto iterations = static_cast<double>(state.iterations());
        state.counters["server_cpu_ms"] = (serverCpuSeconds() - serverBefore) * 1e3 / iterations;
    }
}

void BM_InventoryWithQueryTool(benchmark::State& state)
{
    runEachIteration(
        state, {binDirectory() + "/quorvantile-sensors-query", "--json", "--socket", socketPath(), "inventory"}, true);
}
BENCHMARK(BM_InventoryWithQueryTool)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(kCommandSeconds);

void BM_InventoryWithPs(benchmark::State& state) { runEachIteration(state, bench::psCommand()); }
BENCHMARK(BM_InventoryWithPs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(kCommandSeconds);

void BM_InventoryWithPsutil(benchmark::State& state) { runEachIteration(state, bench::psutilCommand()); }
BENCHMARK(BM_InventoryWithPsutil)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(kCommandSeconds);

// The floor: the same files of the same processes, read plainly on this thread.
void BM_FloorProgram(benchmark::State& state)
{
    const std::vector<int> pids = bench::processesOf(geteuid());
    const double before = bench::threadCpuSeconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench::floorPass(pids));
    }
    const double milliseconds = (bench::threadCpuSeconds() - before) * 1e3 / static_cast<double>(state.iterations());
    state.counters["processes"] = static_cast<double>(pids.size());
    state.counters["cpu_ms"] = milliseconds;
}
BENCHMARK(BM_FloorProgram)->Unit(benchmark::kMillisecond);

// The same with the files kept open, as the companion's table keeps them between inventories.
void BM_KeptFloorProgram(benchmark::State& state)
{
    bench::KeptFloor floor(bench::processesOf(geteuid()));
    const double before = bench::threadCpuSeconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(floor.pass());
    }
    const double milliseconds = (bench::threadCpuSeconds() - before) * 1e3 / static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = milliseconds;
}
BENCHMARK(BM_KeptFloorProgram)->Unit(benchmark::kMillisecond);

void printSummary()
{
    const double tool = median("BM_InventoryWithQueryTool");
    const double ps = median("BM_InventoryWithPs");
    const double psutil = median("BM_InventoryWithPsutil");
    const std::size_t repetitions = figures()["BM_InventoryWithQueryTool"].size();
    if (tool > 0 && ps > 0 && psutil > 0) { // a filter may have left some out
        std::printf("appview1 end to end %.2f ms; ps %.2f ms (%.1fx); psutil %.2f ms (%.1fx)%s\n", tool, ps, ps / tool,
            psutil, psutil / tool, repetitions > 1 ? " (medians of the repetitions)" : "");
    }
    const double server = median("BM_InventoryWithQueryTool.server_cpu_ms");
    const double floor = median("BM_FloorProgram.cpu_ms");
    const double kept = median("BM_KeptFloorProgram.cpu_ms");
    if (floor > 0 && kept > 0 && server > 0) {
        std::printf("companion CPU per inventory %.2f ms; floor program %.2f ms (%.2fx); with the files kept "
                    "open %.2f ms (%.2fx)\n",
            server, floor, server / floor, kept, server / kept);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> arguments;
    for (int index = 0; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument.starts_with("--bin-dir=")) {
            binDirectory() = argument.substr(std::string_view("--bin-dir=").size());
        } else {
            arguments.push_back(argv[index]);
        }
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 1;
    }
    const bench::SleepingChildren sleepers(kChildren);
    const testing::CompanionEnvironment environment;
    const auto server = std::make_unique<testing::ChildProcess>(
        std::vector<std::string> {binDirectory() + "/quorvantile-sensors", "--managed-server"},
        testing::ChildOptions {.environment = environment.variables});
    if (!server->readLine(5.0)) {
        std::fputs("the companion did not get ready\n", stderr);
        return 1;
    }
    socketPath() = environment.socketPath();
    serverPid() = server->pid();
    std::fprintf(stderr, "started %zu sleeping children and the companion of %s\n", sleepers.pids().size(),
        binDirectory().c_str());
    // The summary needs the reported runs, so the console reporter is always the one shown (colours
    // on a terminal only).
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printSummary();
    return 0;
}
