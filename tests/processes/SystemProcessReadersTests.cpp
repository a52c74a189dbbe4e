// The readers over the real process table, checked against this process, a child, readelf and ps.
#include "CompanionProcess.h"
#include "FuseMount.h"

#include "processes/ProcessDetailHardware.h"
#include "processes/ProcessInventoryHardware.h"
#include "processes/linux/KeptProcessFiles.h"
#include "processes/linux/ProcfsProcessTable.h"

#include <gtest/gtest.h>

#include <linux/sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

namespace quorvantile {
namespace {

const ProcessInventoryReading* find(const ProcessInventorySnapshot& snapshot, pid_t pid)
{
    const auto found = std::ranges::find(snapshot.readings, pid, &ProcessInventoryReading::pid);
    return found != snapshot.readings.end() ? &*found : nullptr;
}

ProcessDetailRequest identityOf(const ProcessInventoryReading& reading)
{
    return {reading.pid, reading.startSeconds, reading.startMicroseconds};
}

// Whether the details of `request` are its request alone: the process could not be verified.
bool unverified(const ProcessDetailRequest& request)
{
    const ProcessDetailSnapshot snapshot = ProcessDetailHardware::snapshot(std::vector {request});
    return snapshot.readings == std::vector {ProcessDetailReading {request, {}, {}, {}, {}, {}, {}}};
}

std::string run(const std::string& command)
{
    return testing::ChildProcess({"/bin/sh", "-c", command}, {}).readRest(10.0);
}

// The build id that readelf shows for an executable, cut or zero-padded to 16 bytes; empty without one.
std::string buildIdOf(const std::string& path)
{
    std::smatch found;
    const std::string notes = run("LC_ALL=C readelf -n '" + path + "' 2>/dev/null");
    std::string id = std::regex_search(notes, found, std::regex("Build ID: ([0-9a-f]+)")) ? found[1].str() : "";
    id.resize(id.empty() ? 0 : 32, '0');
    return id;
}

// Until a child has exec'd, its name is this program's.
void awaitExec(pid_t pid, const std::string& name)
{
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    for (int attempt = 0; attempt < 500 && std::filesystem::read_symlink(exe).filename() != name; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::ptrdiff_t openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// This process's descriptors on /proc/<pid> and the files in it.
std::set<int> descriptorsOn(pid_t pid)
{
    const std::string directory = "/proc/" + std::to_string(pid);
    std::set<int> descriptors;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        const bool on = !error && target.starts_with(directory) &&
            (target.size() == directory.size() || target[directory.size()] == '/' || target[directory.size()] == ' ');
        if (on) {
            descriptors.insert(std::stoi(entry.path().filename().string()));
        }
    }
    return descriptors;
}

TEST(SystemProcessReaders, ThisProcessAndAChildHaveTheSameIdentityInInventoryAndDetailsUntilTheChildExits)
{
    testing::ChildProcess child({"/bin/sleep", "30"}, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let the child settle its memory
    const auto inventory = ProcessInventoryHardware::snapshot(::getpid());
    ASSERT_TRUE(inventory);
    EXPECT_TRUE(inventory->isValid(systemClock().uptime()));
    const auto* self = find(*inventory, ::getpid());
    const auto* sleeper = find(*inventory, child.pid());
    ASSERT_TRUE(self && sleeper);
    EXPECT_EQ(sleeper->name, "sleep");

    const ProcessDetailSnapshot details =
        ProcessDetailHardware::snapshot(std::vector {identityOf(*self), identityOf(*sleeper)});
    ASSERT_EQ(details.readings.size(), 2U);
    for (const auto& reading : details.readings) {
        EXPECT_TRUE(reading.startAbsolute && reading.physicalFootprint && reading.diskReadBytes &&
            reading.diskWriteBytes && reading.threads)
            << reading.request.pid;
        const auto path = std::filesystem::read_symlink("/proc/" + std::to_string(reading.request.pid) + "/exe");
        const std::string buildId = buildIdOf(path);
        EXPECT_FALSE(buildId.empty()) << "readelf shows no build id for " << path;
        EXPECT_EQ(reading.executableUUID, buildId) << path;
    }
    EXPECT_EQ(details.readings[1].threads, 1) << "sleep has one thread";
    // ps gives the start to the second (in UTC, to convert it without a zone); the fixture tests check the ticks.
    std::istringstream ps(run("TZ=UTC0 LC_ALL=C ps -o rss=,lstart= -p " + std::to_string(child.pid())));
    std::uint64_t residentKibibytes = 0;
    std::string started;
    std::tm start {};
    ASSERT_TRUE(ps >> residentKibibytes && std::getline(ps, started));
    ASSERT_NE(::strptime(started.c_str(), " %a %b %d %H:%M:%S %Y", &start), nullptr) << started;
    EXPECT_EQ(static_cast<std::time_t>(sleeper->startSeconds), ::timegm(&start));
    EXPECT_EQ(sleeper->residentBytes / 1024, residentKibibytes);

    const ProcessDetailRequest request = identityOf(*sleeper);
    EXPECT_TRUE(unverified({request.pid, request.startSeconds, (request.startMicroseconds + 1) % 1'000'000}));
    EXPECT_TRUE(unverified({request.pid, request.startSeconds - 1, request.startMicroseconds}));
    for (int round = 0; round < 10; ++round) {
        const auto again = ProcessInventoryHardware::snapshot(0);
        ASSERT_TRUE(again && find(*again, child.pid()));
        EXPECT_EQ(identityOf(*find(*again, child.pid())), request) << "round " << round;
    }

    siginfo_t info {};
    child.kill(SIGKILL);
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child.pid()), &info, WEXITED | WNOWAIT), 0) << "a zombie now";
    EXPECT_TRUE(unverified(request)) << "a zombie, not yet reaped";
    EXPECT_EQ(child.waitForExit(5.0), std::nullopt) << "killed";
    EXPECT_TRUE(unverified(request)) << "gone";
    const auto after = ProcessInventoryHardware::snapshot(0);
    ASSERT_TRUE(after);
    EXPECT_EQ(find(*after, request.pid), nullptr);
}

TEST(SystemProcessReaders, ReadOnSeveralThreadsTheInventoryHoldsWhatOneThreadReads)
{
    // Enough processes of this user for the reads to be shared, whoever runs the test.
    std::vector<std::unique_ptr<testing::ChildProcess>> children;
    for (std::size_t index = 0; index < kMinimumProcessesForThreads; ++index) {
        children.push_back(std::make_unique<testing::ChildProcess>(
            std::vector<std::string> {"/bin/sleep", "30"}, testing::ChildOptions {}));
    }
    for (const auto& child : children) {
        awaitExec(child->pid(), "sleep"); // else the two reads below could name it differently
    }
    const auto table = systemProcessTable("/proc");
    const auto shared = ProcessInventoryHardware::snapshot(::getpid(), *table, systemClock(), kMaximumInventoryThreads);
    const auto alone = ProcessInventoryHardware::snapshot(::getpid(), *systemProcessTable("/proc"), systemClock(), 1);
    ASSERT_TRUE(shared && alone);
    EXPECT_TRUE(shared->isValid(systemClock().uptime()));
    for (const pid_t pid : {::getpid(), children.front()->pid(), children.back()->pid()}) {
        const auto* one = find(*alone, pid);
        const auto* many = find(*shared, pid);
        ASSERT_TRUE(one && many) << pid;
        EXPECT_EQ(std::tuple(identityOf(*many), many->name), std::tuple(identityOf(*one), one->name));
    }
}

// A server's inventory keeps the directory, stat, statm and exe link of the processes it read and
// reads them again next time: what changed meanwhile shows (an exec too). Those of a process that
// ended close at the next listing, and all of them once it rests.
TEST(SystemProcessReaders, AServersInventoryReadsTheFilesItKeepsAfreshAndClosesThemAtRest)
{
    ProcessInventoryHardware::SystemInventory inventory({});
    testing::ChildProcess child({"/bin/sh", "-c", "read line; exec /bin/sleep 30"}, {});
    const std::string shell = std::filesystem::canonical("/bin/sh").filename(); // not its command, "sh"
    awaitExec(child.pid(), shell);
    const auto before = openDescriptors();
    const auto first = inventory.snapshot(::getpid());
    ASSERT_TRUE(first && find(*first, ::getpid()) && find(*first, child.pid()));
    EXPECT_GE(openDescriptors(), before + 4 * static_cast<std::ptrdiff_t>(first->readings.size()));
    EXPECT_EQ(find(*first, child.pid())->name, shell);
    const std::set<int> kept = descriptorsOn(child.pid());
    EXPECT_EQ(kept.size(), 4U);

    constexpr std::size_t kGrowth = 64 << 20;
    const std::vector<char> touched(kGrowth, 1);
    ASSERT_TRUE(child.write("go\n"));
    awaitExec(child.pid(), "sleep");
    const auto second = inventory.snapshot(::getpid());
    ASSERT_TRUE(second && find(*second, ::getpid()) && find(*second, child.pid()));
    EXPECT_GE(find(*second, ::getpid())->residentBytes, find(*first, ::getpid())->residentBytes + kGrowth * 9 / 10);
    EXPECT_EQ(find(*second, child.pid())->name, "sleep") << "was " << find(*first, child.pid())->name;
    EXPECT_EQ(descriptorsOn(child.pid()), kept) << "the same files, read again";

    // The files of a process that has ended close with the next listing.
    child.kill(SIGKILL);
    (void)child.waitForExit(5.0);
    ASSERT_EQ(child.endSignal(), SIGKILL) << "reaped";
    ASSERT_TRUE(inventory.snapshot(::getpid()));
    EXPECT_EQ(descriptorsOn(child.pid()), std::set<int> {});

    const double now = systemClock().uptime();
    EXPECT_GE(inventory.rest(now), now + kInventoryRestSeconds - 1) << "not yet";
    EXPECT_GT(openDescriptors(), before + 1);
    EXPECT_TRUE(std::isinf(inventory.rest(now + kInventoryRestSeconds)));
    EXPECT_EQ(openDescriptors(), before);
}

// Starts `argv` with the pid `pid` (clone3 with set_tid); -1 when the kernel refuses.
pid_t startWithPid(pid_t pid, const std::vector<const char*>& argv)
{
    clone_args args {};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<std::uintptr_t>(&pid);
    args.set_tid_size = 1;
    const long child = ::syscall(SYS_clone3, &args, sizeof args);
    if (child == 0) {
        ::execv(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    return static_cast<pid_t>(child);
}

// A kept file stays with the process it was opened for: once that process is gone, the process that
// has its pid now is read through files of its own.
TEST(SystemProcessReaders, TheProcessThatReusesAPidIsReadAsItselfNotThroughTheFilesOfTheOneBefore)
{
    ProcessInventoryHardware::SystemInventory inventory({});
    auto sleeper = std::make_unique<testing::ChildProcess>(
        std::vector<std::string> {"/bin/sleep", "30"}, testing::ChildOptions {});
    const pid_t pid = sleeper->pid();
    awaitExec(pid, "sleep");
    const auto first = inventory.snapshot(::getpid());
    ASSERT_TRUE(first && find(*first, pid));
    EXPECT_EQ(find(*first, pid)->name, "sleep");
    sleeper.reset(); // killed and reaped: the pid is free

    const pid_t again = startWithPid(pid, {"/usr/bin/tail", "-f", "/dev/null", nullptr});
    if (again < 0) {
        GTEST_SKIP() << "choosing the pid of a new process needs CAP_SYS_ADMIN: " << std::strerror(errno);
    }
    const auto reap = [again] {
        ::kill(again, SIGKILL);
        ::waitpid(again, nullptr, 0);
    };
    awaitExec(again, "tail");
    const auto second = inventory.snapshot(::getpid());
    const auto* reading = second ? find(*second, again) : nullptr;
    EXPECT_TRUE(reading && reading->name == "tail") << "the process now at pid " << again;
    reap();
}

// Kept files take four descriptors a process: only as many processes keep them as the soft limit
// leaves room for beside a reserve, and the others are read all the same. The keeper raises the
// soft limit as far as the hard one allows.
TEST(SystemProcessReaders, ProcessesKeepTheirFilesOnlyWhereTheDescriptorLimitLeavesRoom)
{
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const auto setSoft = [&saved](rlim_t soft) {
        rlimit limit = saved;
        limit.rlim_cur = std::min(soft, saved.rlim_max);
        return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    };
    ASSERT_TRUE(setSoft(1024));
    const auto kept = std::make_shared<KeptProcessFiles>(kProcessIdSlots);
    rlimit raised {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &raised), 0);
    EXPECT_EQ(raised.rlim_cur, std::min<rlim_t>(saved.rlim_max, 256 + 4 * kProcessIdSlots));

    std::vector<std::unique_ptr<testing::ChildProcess>> children;
    for (int index = 0; index < 4; ++index) {
        children.push_back(std::make_unique<testing::ChildProcess>(
            std::vector<std::string> {"/bin/sleep", "30"}, testing::ChildOptions {}));
    }
    ASSERT_TRUE(setSoft(256 + 4 * 3));
    ProcfsProcessTable table("/proc", kept);
    const auto inventory = ProcessInventoryHardware::snapshot(::getpid(), table, systemClock(), 1);
    ASSERT_TRUE(setSoft(saved.rlim_cur));
    ASSERT_TRUE(inventory);
    for (const auto& child : children) {
        EXPECT_TRUE(find(*inventory, child->pid())) << child->pid();
    }
    EXPECT_EQ(kept->openDescriptors(), 12U);
}

// A listing asks a kept directory for its process's owner only while it is the pid's directory: once
// the process is gone (the kernel then calls root its owner), the process that has the pid now is
// asked by its own.
TEST(SystemProcessReaders, AKeptDirectoryAnswersForItsProcessOnlyWhileItIsThePids)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "starting a process of another user at a chosen pid needs root";
    }
    ProcfsProcessTable table("/proc", std::make_shared<KeptProcessFiles>(kProcessIdSlots));
    const auto listed = [&table](pid_t pid) {
        std::array<std::int32_t, kProcessIdSlots> pids {};
        const auto end = pids.begin() + std::max(table.listPids(0, pids), 0) / 4;
        return std::find(pids.begin(), end, pid) != end;
    };
    testing::ChildProcess gone({"/bin/sleep", "30"}, {});
    awaitExec(gone.pid(), "sleep");
    ASSERT_TRUE(listed(gone.pid()));
    ProcessTaskAllInfo info {};
    ASSERT_EQ(table.taskAllInfo(gone.pid(), info), kTaskAllInfoBytes); // and keeps its files
    ASSERT_TRUE(listed(gone.pid())) << "through its kept directory";

    gone.kill(SIGKILL);
    EXPECT_EQ(gone.waitForExit(5.0), std::nullopt);
    const pid_t again = startWithPid(gone.pid(),
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/tail", "-f", "/dev/null",
            nullptr});
    ASSERT_EQ(again, gone.pid()) << std::strerror(errno);
    awaitExec(again, "tail");
    EXPECT_FALSE(listed(again)) << "the process at the pid now is 65534's";
    ::kill(again, SIGKILL);
    ::waitpid(again, nullptr, 0);
}

TEST(SystemProcessReaders, AProcessOfAnotherUserIsNeitherListedNorDetailed)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "starting a process of another user needs root";
    }
    // The child runs as user 65534 a copy of the shell that it may execute but not read, which makes it
    // non-dumpable: most of its /proc files are root's, but not its directory. The table must still
    // see it as 65534's.
    constexpr std::uint32_t kNobody = 65534;
    const testing::TemporaryDirectory folder(kNobody);
    const std::string shell = folder.path() + "/sh";
    std::filesystem::copy_file("/bin/sh", shell);
    ASSERT_EQ(::chmod(shell.c_str(), 0711), 0);
    testing::ChildProcess other({shell, "-c", "echo ready; while :; do sleep 1; done"}, {.user = kNobody});
    ASSERT_EQ(other.readLine(5.0), "ready") << "the child could not switch users";
    struct stat status { };
    ASSERT_EQ(::stat(("/proc/" + std::to_string(other.pid()) + "/status").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0U) << "the child is dumpable";

    const auto table = systemProcessTable("/proc");
    ProcessBsdInfo bsd {};
    ASSERT_EQ(table->bsdInfo(other.pid(), bsd), kBsdInfoBytes);
    EXPECT_EQ(bsd.pbi_uid, kNobody);
    // Before any listing the inventory's read asks the directory, as after one that listed it.
    ProcessTaskAllInfo task {};
    ASSERT_EQ(table->taskAllInfo(other.pid(), task), kTaskAllInfoBytes);
    EXPECT_EQ(task.pbsd.pbi_uid, kNobody);
    EXPECT_EQ(std::tuple(task.pbsd.pbi_name[0], bsd.pbi_name[0]), std::tuple('\0', '\0'))
        << "another user's executable is not looked at";
    std::array<std::int32_t, kProcessIdSlots> listed {};
    const auto end = listed.begin() + std::max(table->listPids(kNobody, listed), 0) / 4;
    EXPECT_NE(std::find(listed.begin(), end, other.pid()), end) << "listed among 65534's processes";
    task = {};
    ASSERT_EQ(table->taskAllInfo(other.pid(), task), kTaskAllInfoBytes);
    EXPECT_EQ(std::tuple(task.pbsd.pbi_uid, task.pbsd.pbi_name[0]), std::tuple(kNobody, '\0')) << "once listed";

    const auto inventory = ProcessInventoryHardware::snapshot(other.pid());
    ASSERT_TRUE(inventory);
    EXPECT_EQ(find(*inventory, other.pid()), nullptr);
    EXPECT_NE(find(*inventory, ::getpid()), nullptr);
    EXPECT_TRUE(unverified({other.pid(), bsd.pbi_start_tvsec, bsd.pbi_start_tvusec}));
}

// A process whose executable lies on a FUSE mount: its UUID is not read there (16 zero bytes, as for
// an executable without a build id), and reading its details does not wait once the file system has
// stopped answering.
TEST(SystemProcessReaders, AnExecutableOnAStalledMountGetsTheZeroUuidWithoutWaiting)
{
    const testing::TemporaryDirectory source;
    std::filesystem::permissions(source.path(), std::filesystem::perms(0755));
    std::filesystem::copy_file("/bin/sleep", source / "sleep");
    testing::FuseMount mount(source.path());
    if (mount.unavailable()) {
        GTEST_SKIP() << *mount.unavailable();
    }
    ASSERT_FALSE(buildIdOf(mount / "sleep").empty()) << "the copy has a build id to leave unread";
    testing::ChildProcess sleeper({mount / "sleep", "30"}, {});
    const std::string exe = "/proc/" + std::to_string(sleeper.pid()) + "/exe";
    for (int attempt = 0; attempt < 500 && std::filesystem::read_symlink(exe) != mount / "sleep"; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto uuidOf = [pid = sleeper.pid()] {
        ProcfsProcessTable table("/proc");
        ProcessUsageInfo usage;
        const int result = table.usageInfo(pid, usage);
        return std::pair(result, usage.ri_uuid);
    };
    const std::pair<int, std::array<std::uint8_t, kUuidBytes>> zero {0, {}};
    EXPECT_EQ(uuidOf(), zero) << "while the file system answers";
    mount.stop();
    auto reading = std::async(std::launch::async, uuidOf);
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        mount.resume(); // so that the reading can end before the mount goes
        ADD_FAILURE() << "the reading waited for the stalled file system";
    }
    EXPECT_EQ(reading.get(), zero) << "while it does not";
}

} // namespace
} // namespace quorvantile
