// A managed server's start as its parent sees it: the time from exec to the ready line, and what the
// server holds resident once it is ready (all of it, anonymous memory, file pages). Then its first
// request, which verifies this (signed) benchmark's executable in full, and a second one, answered
// from the server's cache of verified peers: their times, and what is resident after the first.
//
//   server_start_benchmark [--server=PATH]... [benchmark options]
//
// Without --server it starts this build's companion. Each --server adds another executable, measured
// in the same run, so that a change can be compared with the build before it side by side.

#include "CompanionProcess.h"
#include "QueryClient.h"

#include "common/UniqueFd.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

extern char** environ;

namespace {

using quorvantile::UniqueFd;
using quorvantile::testing::CompanionEnvironment;

constexpr int kReadyTimeoutMilliseconds = 5000;

double monotonicSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The kibibyte lines of /proc/<pid>/status that say what is resident.
std::map<std::string, double> residentKibibytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::map<std::string, double> values;
    std::string line;
    while (std::getline(status, line)) {
        for (const char* key : {"VmRSS", "RssAnon", "RssFile"}) {
            if (line.rfind(std::string(key) + ":", 0) == 0) {
                values[key] = std::stod(line.substr(std::strlen(key) + 1));
            }
        }
    }
    return values;
}

struct Start {
    double readySeconds = 0; // from just before exec to the ready line read
    std::map<std::string, double> resident;
    double firstRequestSeconds = 0; // the whole request, as the client sees it
    double secondRequestSeconds = 0;
    double residentAfterFirstKibibytes = 0;
};

// One snapshot request, timed; absent when it got no reply.
std::optional<double> timedRequest(const CompanionEnvironment& environment)
{
    const double started = monotonicSeconds();
    const auto outcome =
        quorvantile::query::ask(environment.socketPath(), *quorvantile::query::requestNamed("snapshot"), {}, 5.0);
    if (!std::holds_alternative<std::string>(outcome)) {
        return std::nullopt;
    }
    return monotonicSeconds() - started;
}

// One start of `server` in `environment`, stopped again by closing its control input.
std::optional<Start> startOnce(const std::string& server, const CompanionEnvironment& environment)
{
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (environment.variables.count(text.substr(0, text.find('='))) == 0) {
            variables.push_back(text);
        }
    }
    for (const auto& [name, value] : environment.variables) {
        variables.push_back(std::string(name).append("=").append(value));
    }
    std::vector<char*> envp;
    envp.reserve(variables.size() + 1);
    for (auto& text : variables) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::string mode = "--managed-server";
    std::string path = server;
    char* argv[] = {path.data(), mode.data(), nullptr};

    int control[2] = {-1, -1};
    int output[2] = {-1, -1};
    if (pipe2(control, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    UniqueFd controlRead(control[0]), controlWrite(control[1]), outputRead(output[0]), outputWrite(output[1]);
    // The child writes the time of its exec here, so that fork is not counted.
    void* shared = mmap(nullptr, sizeof(double), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        return std::nullopt;
    }
    auto* execTime = static_cast<volatile double*>(shared);
    const pid_t pid = fork();
    if (pid == 0) {
        if (dup2(controlRead.get(), STDIN_FILENO) < 0 || dup2(outputWrite.get(), STDOUT_FILENO) < 0) {
            _exit(126);
        }
        *execTime = monotonicSeconds();
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    controlRead.reset();
    outputWrite.reset();
    std::optional<Start> start;
    pollfd entry {outputRead.get(), POLLIN, 0};
    char line[512];
    if (pid > 0 && poll(&entry, 1, kReadyTimeoutMilliseconds) == 1) {
        const ssize_t got = read(outputRead.get(), line, sizeof line);
        const double ready = monotonicSeconds();
        if (got > 0 &&
            std::string_view(line, static_cast<std::size_t>(got)).find("\"ready\":true") != std::string::npos) {
            start = Start {ready - *execTime, residentKibibytes(pid)};
            const auto first = timedRequest(environment);
            start->residentAfterFirstKibibytes = residentKibibytes(pid)["VmRSS"];
            const auto second = timedRequest(environment);
            if (!first || !second) {
                start.reset();
            } else {
                start->firstRequestSeconds = *first;
                start->secondRequestSeconds = *second;
            }
        }
    }
    controlWrite.reset();
    if (pid > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
    munmap(shared, sizeof(double));
    return start;
}

void serverStart(benchmark::State& state, const std::string& server)
{
    std::map<std::string, double> totals;
    for (auto _ : state) {
        state.PauseTiming();
        const CompanionEnvironment environment;
        state.ResumeTiming();
        const auto start = startOnce(server, environment);
        if (!start) {
            state.SkipWithError(("no ready line or no reply from " + server).c_str());
            return;
        }
        state.SetIterationTime(start->readySeconds);
        for (const auto& [key, kibibytes] : start->resident) {
            totals[key] += kibibytes;
        }
        totals["firstRequest"] += start->firstRequestSeconds;
        totals["secondRequest"] += start->secondRequestSeconds;
        totals["residentAfterFirst"] += start->residentAfterFirstKibibytes;
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["resident_KiB"] = totals["VmRSS"] / iterations;
    state.counters["anonymous_KiB"] = totals["RssAnon"] / iterations;
    state.counters["file_KiB"] = totals["RssFile"] / iterations;
    state.counters["first_request_ms"] = totals["firstRequest"] * 1e3 / iterations;
    state.counters["second_request_ms"] = totals["secondRequest"] * 1e3 / iterations;
    state.counters["resident_after_first_KiB"] = totals["residentAfterFirst"] / iterations;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> servers;
    std::vector<char*> rest;
    for (int index = 0; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument.starts_with("--server=")) {
            servers.emplace_back(argument.substr(std::strlen("--server=")));
        } else {
            rest.push_back(argv[index]);
        }
    }
    if (servers.empty()) {
        servers.push_back(quorvantile::testing::binary("quorvantile-sensors"));
    }
    for (const auto& server : servers) {
        benchmark::RegisterBenchmark(("ServerStart/" + server).c_str(), serverStart, server)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(40);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
