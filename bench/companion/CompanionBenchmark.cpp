// The companion as its parent sees it: start-to-ready time and resident memory of a managed
// server; snapshot and inventory requests over the real socket, one after another, with the server's
// own CPU time per request (all its threads counted) and what it holds resident afterwards; and
// accessory requests without a system bus, with a bus but no BlueZ, and with BlueZ's stand-in.
// server_start_benchmark measures the start from exec on, and can compare builds.
#include "CompanionProcess.h"
#include "PrivateBus.h"
#include "QueryClient.h"
#include "common/JsonDecode.h"

#include "common/Clock.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <fstream>
#include <string>

namespace {

using quorvantile::systemClock;
using quorvantile::testing::binary;
using quorvantile::testing::ChildProcess;
using quorvantile::testing::CompanionEnvironment;
using quorvantile::testing::PrivateBus;

// A kibibyte line of /proc/<pid>/status ("VmRSS", "RssAnon").
double statusKibibytes(pid_t pid, const std::string& key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stod(line.substr(key.size() + 1));
        }
    }
    return 0;
}

double residentKibibytes(pid_t pid) { return statusKibibytes(pid, "VmRSS"); }

// The CPU time a process has used so far, all its threads counted, in seconds.
double cpuSeconds(pid_t pid)
{
    clockid_t clock {};
    timespec used {};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) {
        return 0;
    }
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
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

// One request after another to a managed server, with the server's CPU time per request.
void Requests(benchmark::State& state, const char* name)
{
    CompanionEnvironment environment;
    ChildProcess server({binary("quorvantile-sensors"), "--managed-server"}, {.environment = environment.variables});
    if (!server.readLine(5.0)) {
        state.SkipWithError("the companion did not get ready");
        return;
    }
    const auto request = *quorvantile::query::requestNamed(name);
    const double before = cpuSeconds(server.pid());
    for (auto _ : state) {
        auto outcome = quorvantile::query::ask(environment.socketPath(), request, {}, 5.0);
        if (!std::holds_alternative<std::string>(outcome)) {
            state.SkipWithError(std::get<quorvantile::query::Failure>(outcome).message.c_str());
            break;
        }
        benchmark::DoNotOptimize(outcome);
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["server_cpu_us"] = (cpuSeconds(server.pid()) - before) * 1e6 / iterations;
    state.counters["resident_KiB"] = residentKibibytes(server.pid());
    state.counters["anonymous_KiB"] = statusKibibytes(server.pid(), "RssAnon");
    server.closeInput();
    (void)server.waitForExit(5.0);
}

void SnapshotRequests(benchmark::State& state) { Requests(state, "snapshot"); }
BENCHMARK(SnapshotRequests)->Unit(benchmark::kMicrosecond);

// The inventory of this user's processes, whatever runs; inventory_end_to_end_benchmark starts 500
// more and compares with the floor.
void InventoryRequests(benchmark::State& state) { Requests(state, "inventory"); }
BENCHMARK(InventoryRequests)->Unit(benchmark::kMillisecond);

enum class Bus { absent, withoutBluez, withBluez };

// BlueZ's stand-in knowing a headset, an LE tag and the workstation's LE mouse, among an adapter and
// a phone without a battery.
nlohmann::json bluezDesk()
{
    const auto device = [](const char* address, const char* type, const char* alias, int percent) {
        nlohmann::json object = {{"org.bluez.Device1",
            {{"Address", {"s", address}}, {"AddressType", {"s", type}}, {"Alias", {"s", alias}},
                {"UUIDs", {"as", nlohmann::json::array({"0000180f-0000-1000-8000-00805f9b34fb"})}}}}};
        if (percent >= 0) {
            object["org.bluez.Battery1"] = {{"Percentage", {"y", percent}}};
        }
        return object;
    };
    return {{"objects",
        {{"/org/bluez/hci0", {{"org.bluez.Adapter1", {{"Powered", {"b", true}}}}}},
            {"/org/bluez/hci0/dev_00_1B_66_AA_BB_CC", device("00:1B:66:AA:BB:CC", "public", "Headset", 70)},
            {"/org/bluez/hci0/dev_C1_22_33_44_55_66", device("C1:22:33:44:55:66", "random", "Sensor Tag", 40)},
            {"/org/bluez/hci0/dev_D7_2E_4C_91_5A_03", device("D7:2E:4C:91:5A:03", "random", "MX Anywhere 3", 37)},
            {"/org/bluez/hci0/dev_3C_28_6D_00_11_22", device("3C:28:6D:00:11:22", "public", "Phone", -1)}}}};
}

// "battery1" over the workstation fixture, one request after another. The first one, which loads
// sd-bus, is left out of the timing and reported as first_request_ms (after a snapshot request, so
// that the check of this client's signature is not in it); resident_KiB is taken after it.
void AccessoryRequests(benchmark::State& state, Bus bus)
{
    CompanionEnvironment environment;
    environment.variables["QUORVANTILE_SYSFS_ROOT"] =
        std::string(QUORVANTILE_FIXTURES_DIR) + "/accessories/workstation";
    std::unique_ptr<PrivateBus> privateBus;
    std::unique_ptr<ChildProcess> bluez;
    if (bus != Bus::absent) {
        if (const auto reason = PrivateBus::unavailable()) {
            state.SkipWithError(reason->c_str());
            return;
        }
        privateBus = std::make_unique<PrivateBus>();
        environment.variables["DBUS_SYSTEM_BUS_ADDRESS"] = privateBus->address();
        if (bus == Bus::withBluez && !(bluez = privateBus->startBluez(bluezDesk()))) {
            state.SkipWithError("the BlueZ stand-in did not start");
            return;
        }
    }
    ChildProcess server({binary("quorvantile-sensors"), "--managed-server"}, {.environment = environment.variables});
    if (!server.readLine(5.0)) {
        state.SkipWithError("the companion did not get ready");
        return;
    }
    const auto request = *quorvantile::query::requestNamed("battery");
    const auto ask = [&] { return quorvantile::query::ask(environment.socketPath(), request, {}, 5.0); };
    (void)quorvantile::query::ask(environment.socketPath(), *quorvantile::query::requestNamed("snapshot"), {}, 5.0);
    const double started = systemClock().uptime();
    auto first = ask();
    state.counters["first_request_ms"] = (systemClock().uptime() - started) * 1e3;
    state.counters["resident_KiB"] = residentKibibytes(server.pid());
    if (!std::holds_alternative<std::string>(first)) {
        state.SkipWithError(std::get<quorvantile::query::Failure>(first).message.c_str());
        return;
    }
    for (auto _ : state) {
        auto outcome = ask();
        if (!std::holds_alternative<std::string>(outcome)) {
            state.SkipWithError(std::get<quorvantile::query::Failure>(outcome).message.c_str());
            break;
        }
        benchmark::DoNotOptimize(outcome);
    }
    server.closeInput();
    (void)server.waitForExit(5.0);
}
BENCHMARK_CAPTURE(AccessoryRequests, noBus, Bus::absent)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(AccessoryRequests, busWithoutBluez, Bus::withoutBluez)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(AccessoryRequests, busWithBluez, Bus::withBluez)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
