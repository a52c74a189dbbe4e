// The inventory with about 500 processes of the user and the details of 8 of them, against ps and
// psutil gathering the same fields for the same user.
//
// The run starts 500 sleeping children first (so that the user has at least that many processes,
// whatever else runs) and kills and reaps them at the end.

#include "processes/ProcessDetailHardware.h"
#include "processes/ProcessInventoryHardware.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace quorvantile;

constexpr int kChildren = 500;
constexpr std::size_t kDetailRequests = 8;

std::vector<pid_t>& children()
{
    static std::vector<pid_t> pids;
    return pids;
}

// Runs a command with its output thrown away and returns whether it exited with status 0. Adds the
// CPU time the command used (user and system) to `cpuSeconds`.
bool runQuietly(const std::vector<std::string>& arguments, double& cpuSeconds)
{
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage {};
    if (error != 0 || wait4(pid, &status, 0, &usage) != pid) {
        return false;
    }
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    cpuSeconds += seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The CPU time of the commands per iteration, to compare with the in-process readers' CPU column
// when other work on the machine stretches the wall-clock times.
void reportCommandCpu(benchmark::State& state, double cpuSeconds)
{
    state.counters["command_cpu_ms"] =
        benchmark::Counter(cpuSeconds * 1e3 / static_cast<double>(state.iterations()), benchmark::Counter::kDefaults);
}

std::string uidText() { return std::to_string(geteuid()); }

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
    const std::vector<std::string> command {"ps", "-u", uidText(), "-o", "pid=,comm=,lstart=,time=,rss="};
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
const std::string kPsutilPass = "import os, psutil\n"
                                "uid = os.geteuid()\n"
                                "fields = ['pid', 'name', 'create_time', 'cpu_times', 'memory_info', 'uids']\n"
                                "def once():\n"
                                "    return [p.info for p in psutil.process_iter(fields)\n"
                                "            if p.info['uids'] is not None and p.info['uids'].effective == uid]\n";

void BM_InventoryWithPsutil(benchmark::State& state)
{
    const std::vector<std::string> command {"/usr/bin/python3", "-c", kPsutilPass + "once()\n"};
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
    const std::string script = kPsutilPass +
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

void startChildren()
{
    char sleep[] = "sleep";
    char seconds[] = "600";
    char* argv[] = {sleep, seconds, nullptr};
    for (int index = 0; index < kChildren; ++index) {
        pid_t pid = -1;
        if (posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) == 0) {
            children().push_back(pid);
        }
    }
}

void stopChildren()
{
    for (const pid_t pid : children()) {
        kill(pid, SIGKILL);
    }
    for (const pid_t pid : children()) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    startChildren();
    std::fprintf(stderr, "started %zu sleeping children\n", children().size());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopChildren();
    return 0;
}
