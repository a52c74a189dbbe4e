// The inventory with about 500 processes of the user and the details of 8 of them, against ps and
// psutil gathering the same fields for the same user.
//
// The run starts 500 sleeping children first (so that the user has at least that many processes,
// whatever else runs) and kills and reaps them at the end.

#include "BenchCommands.h"
#include "InventoryFloor.h"
#include "processes/ProcessDetailHardware.h"
#include "processes/ProcessInventoryHardware.h"
#include "processes/ProcessLimits.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace quorvantile;

constexpr int kChildren = 500;
constexpr std::size_t kDetailRequests = 8;

using bench::reportCommandCpu;
using bench::runQuietly;

std::vector<pid_t>& children()
{
    static std::vector<pid_t> pids;
    return pids;
}

void BM_InventorySnapshot(benchmark::State& state)
{
    std::size_t readings = 0;
    bool incomplete = false;
    for (auto _ : state) {
        const auto snapshot = ProcessInventoryHardware::snapshot(getpid());
        if (!snapshot) {
            state.SkipWithError("no inventory");
            return;
        }
        readings = snapshot->readings.size();
        incomplete = snapshot->incomplete;
        benchmark::DoNotOptimize(snapshot);
    }
    state.counters["readings"] = static_cast<double>(readings);
    state.counters["incomplete"] = incomplete ? 1 : 0;
}
BENCHMARK(BM_InventorySnapshot)->Unit(benchmark::kMillisecond);

// The reader on a given number of threads (the first argument), with a table made per call or, when
// the second is 1, a server's tables, which keep each process's files open from one call to the
// next; the CPU column counts all threads.
void BM_InventoryOnThreads(benchmark::State& state)
{
    const auto threads = static_cast<std::size_t>(state.range(0));
    const auto kept = state.range(1) == 1 ? systemProcessTables("/proc") : nullptr;
    for (auto _ : state) {
        const auto table = kept ? kept->fresh() : systemProcessTable("/proc");
        const auto snapshot = ProcessInventoryHardware::snapshot(getpid(), *table, systemClock(), threads);
        if (!snapshot) {
            state.SkipWithError("no inventory");
            return;
        }
        benchmark::DoNotOptimize(snapshot);
    }
}
BENCHMARK(BM_InventoryOnThreads)
    ->ArgsProduct({{1, 2, 4}, {0, 1}})
    ->ArgNames({"threads", "kept"})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// What the reader's helper threads cost per call, made and joined for each call as the reader does,
// against the same number kept parked on a condition variable and woken for each call. Neither
// does any reading: the difference is all that parking could save.
void BM_HelpersMadePerCall(benchmark::State& state)
{
    for (auto _ : state) {
        std::array<std::thread, kMaximumInventoryThreads - 1> helpers;
        for (auto& helper : helpers) {
            helper = std::thread([] {});
        }
        for (auto& helper : helpers) {
            helper.join();
        }
    }
}
BENCHMARK(BM_HelpersMadePerCall)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_HelpersParked(benchmark::State& state)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t round = 0;
    std::size_t finished = 0;
    bool over = false;
    std::array<std::thread, kMaximumInventoryThreads - 1> helpers;
    for (auto& helper : helpers) {
        helper = std::thread([&] {
            std::size_t seen = 0;
            std::unique_lock lock(mutex);
            for (;;) {
                changed.wait(lock, [&] { return over || round != seen; });
                if (over) {
                    return;
                }
                seen = round;
                ++finished;
                changed.notify_all();
            }
        });
    }
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        ++round;
        finished = 0;
        changed.notify_all();
        changed.wait(lock, [&] { return finished == helpers.size(); });
    }
    {
        const std::lock_guard lock(mutex);
        over = true;
    }
    changed.notify_all();
    for (auto& helper : helpers) {
        helper.join();
    }
}
BENCHMARK(BM_HelpersParked)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

// The floor of the same reads (InventoryFloor.h), for the CPU column to be compared with.
void BM_InventoryFloor(benchmark::State& state)
{
    const std::vector<int> pids = bench::processesOf(geteuid());
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench::floorPass(pids));
    }
    state.counters["processes"] = static_cast<double>(pids.size());
}
BENCHMARK(BM_InventoryFloor)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// What the server does for the inventory request: read, then encode the reply.
void BM_InventorySnapshotAndJson(benchmark::State& state)
{
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto snapshot = ProcessInventoryHardware::snapshot(getpid());
        const auto text = snapshot ? json::encode(*snapshot) : std::nullopt;
        if (!text) {
            state.SkipWithError("no inventory");
            return;
        }
        bytes = text->size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_InventorySnapshotAndJson)->Unit(benchmark::kMillisecond);

// ps for the same user and the same fields: pid, name, start time, CPU time, resident size.
void BM_InventoryWithPs(benchmark::State& state)
{
    const std::vector<std::string> command = bench::psCommand();
    double cpuSeconds = 0;
    for (auto _ : state) {
        if (!runQuietly(command, cpuSeconds)) {
            state.SkipWithError("ps failed");
            return;
        }
    }
    reportCommandCpu(state, cpuSeconds);
}
BENCHMARK(BM_InventoryWithPs)->Unit(benchmark::kMillisecond);

// psutil's process_iter with the same fields, keeping the user's processes, as one program run.
void BM_InventoryWithPsutil(benchmark::State& state)
{
    const std::vector<std::string> command = bench::psutilCommand();
    double cpuSeconds = 0;
    for (auto _ : state) {
        if (!runQuietly(command, cpuSeconds)) {
            state.SkipWithError("python3 with psutil failed");
            return;
        }
    }
    reportCommandCpu(state, cpuSeconds);
}
BENCHMARK(BM_InventoryWithPsutil)->Unit(benchmark::kMillisecond);

// The same psutil pass inside an already running interpreter (no start-up), timed by Python itself.
void BM_InventoryWithPsutilWarm(benchmark::State& state)
{
    const std::string script = bench::kPsutilPass +
        "import time\n"
        "once()\n"
        "start = time.perf_counter()\n"
        "for _ in range(20): once()\n"
        "print((time.perf_counter() - start) / 20)\n";
    const std::string command = "/usr/bin/python3 -c \"" + script + "\"";
    for (auto _ : state) {
        FILE* pipe = popen(command.c_str(), "r");
        double seconds = 0;
        const bool read = pipe != nullptr && std::fscanf(pipe, "%lf", &seconds) == 1;
        if (pipe != nullptr) {
            pclose(pipe);
        }
        if (!read) {
            state.SkipWithError("python3 with psutil failed");
            return;
        }
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_InventoryWithPsutilWarm)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_Details(benchmark::State& state)
{
    const auto inventory = ProcessInventoryHardware::snapshot(getpid());
    std::vector<ProcessDetailRequest> requests;
    for (const auto& reading : inventory ? inventory->readings : std::vector<ProcessInventoryReading> {}) {
        if (std::find(children().begin(), children().end(), reading.pid) != children().end()) {
            requests.push_back({reading.pid, reading.startSeconds, reading.startMicroseconds});
            if (requests.size() == kDetailRequests) {
                break;
            }
        }
    }
    if (requests.size() != kDetailRequests) {
        state.SkipWithError("the children are not in the inventory");
        return;
    }
    std::size_t filled = 0;
    for (auto _ : state) {
        const ProcessDetailSnapshot snapshot = ProcessDetailHardware::snapshot(requests);
        filled = static_cast<std::size_t>(std::count_if(snapshot.readings.begin(), snapshot.readings.end(),
            [](const auto& reading) { return reading.threads.has_value(); }));
        benchmark::DoNotOptimize(snapshot);
    }
    state.counters["filled"] = static_cast<double>(filled);
}
BENCHMARK(BM_Details)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const bench::SleepingChildren sleepers(kChildren);
    children() = sleepers.pids();
    std::fprintf(stderr, "started %zu sleeping children\n", children().size());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
