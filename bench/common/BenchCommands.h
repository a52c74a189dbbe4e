#pragma once

// Helpers of the benchmarks that compare with other programs: run a command and count its CPU time,
// and keep a crowd of sleeping processes alive for the length of a run.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace quorvantile::bench {

// Runs a command with its output thrown away and returns whether it exited with status 0. Adds the
// CPU time the command used (user and system) to `cpuSeconds`.
inline bool runQuietly(const std::vector<std::string>& arguments, double& cpuSeconds)
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
inline void reportCommandCpu(benchmark::State& state, double cpuSeconds)
{
    state.counters["command_cpu_ms"] =
        benchmark::Counter(cpuSeconds * 1e3 / static_cast<double>(state.iterations()), benchmark::Counter::kDefaults);
}

// `count` sleeping children, killed and reaped when this goes away.
class SleepingChildren {
public:
    explicit SleepingChildren(int count)
    {
        char sleep[] = "sleep";
        char seconds[] = "600";
        char* argv[] = {sleep, seconds, nullptr};
        for (int index = 0; index < count; ++index) {
            pid_t pid = -1;
            if (posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) == 0) {
                pids_.push_back(pid);
            }
        }
    }
    ~SleepingChildren()
    {
        for (const pid_t pid : pids_) {
            kill(pid, SIGKILL);
        }
        for (const pid_t pid : pids_) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    SleepingChildren(const SleepingChildren&) = delete;
    SleepingChildren& operator=(const SleepingChildren&) = delete;

    [[nodiscard]] const std::vector<pid_t>& pids() const { return pids_; }

private:
    std::vector<pid_t> pids_;
};

// The command lines of the peers, for the same user and the same fields as the inventory: pid, name,
// start time, CPU time and resident size.
inline std::vector<std::string> psCommand()
{
    return {"ps", "-u", std::to_string(geteuid()), "-o", "pid=,comm=,lstart=,time=,rss="};
}

inline const std::string kPsutilPass =
    "import os, psutil\n"
    "uid = os.geteuid()\n"
    "fields = ['pid', 'name', 'create_time', 'cpu_times', 'memory_info', 'uids']\n"
    "def once():\n"
    "    return [p.info for p in psutil.process_iter(fields)\n"
    "            if p.info['uids'] is not None and p.info['uids'].effective == uid]\n";

inline std::vector<std::string> psutilCommand() { return {"/usr/bin/python3", "-c", kPsutilPass + "once()\n"}; }

} // namespace quorvantile::bench
