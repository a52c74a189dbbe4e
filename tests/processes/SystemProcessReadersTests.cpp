// The readers over the real process table, checked against this process, its children and two
// independent tools.
#include "processes/ProcessDetailHardware.h"
#include "processes/ProcessInventoryHardware.h"

#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

namespace quorvantile {
namespace {

using testing::ChildProcess;

const ProcessInventoryReading* find(const ProcessInventorySnapshot& snapshot, pid_t pid)
{
    for (const auto& reading : snapshot.readings) {
        if (reading.pid == pid) {
            return &reading;
        }
    }
    return nullptr;
}

ProcessDetailRequest identityOf(const ProcessInventoryReading& reading)
{
    return {reading.pid, reading.startSeconds, reading.startMicroseconds};
}

ProcessDetailReading detailOf(const ProcessDetailRequest& request)
{
    const ProcessDetailSnapshot snapshot = ProcessDetailHardware::snapshot(std::vector {request});
    EXPECT_EQ(snapshot.readings.size(), 1U);
    return snapshot.readings.empty() ? ProcessDetailReading {} : snapshot.readings.front();
}

bool isFilled(const ProcessDetailReading& reading)
{
    return reading.startAbsolute && reading.executableUUID && reading.physicalFootprint && reading.diskReadBytes &&
        reading.diskWriteBytes && reading.threads;
}

bool isEmpty(const ProcessDetailReading& reading)
{
    return !reading.startAbsolute && !reading.executableUUID && !reading.physicalFootprint && !reading.diskReadBytes &&
        !reading.diskWriteBytes && !reading.threads;
}

std::string run(const std::string& command)
{
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string output;
    if (!pipe) {
        return output;
    }
    char chunk[4096];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0) {
        output.append(chunk, count);
    }
    return output;
}

TEST(SystemProcessReaders, ThisProcessAndAChildHaveTheSameIdentityInInventoryAndDetails)
{
    ChildProcess child({"sleep", "30"});
    ASSERT_GT(child.pid(), 0);
    const auto inventory = ProcessInventoryHardware::snapshot(::getpid());
    ASSERT_TRUE(inventory);
    EXPECT_EQ(inventory->uid, static_cast<std::uint32_t>(::geteuid()));
    EXPECT_TRUE(inventory->isValid(systemClock().uptime()));

    const auto* self = find(*inventory, ::getpid());
    const auto* sleeper = find(*inventory, child.pid());
    ASSERT_NE(self, nullptr);
    ASSERT_NE(sleeper, nullptr);
    EXPECT_EQ(sleeper->name, "sleep");
    EXPECT_GT(self->residentBytes, 0U);

    const ProcessDetailSnapshot details =
        ProcessDetailHardware::snapshot(std::vector {identityOf(*self), identityOf(*sleeper)});
    ASSERT_EQ(details.readings.size(), 2U);
    for (const auto& reading : details.readings) {
        ASSERT_TRUE(isFilled(reading)) << reading.request.pid;
        EXPECT_EQ(reading.executableUUID->size(), 32U);
        EXPECT_EQ(reading.executableUUID->find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_GE(*reading.threads, 1);
    }
    EXPECT_EQ(details.readings[1].threads, 1) << "sleep has one thread";

    // A later inventory gives the same identities.
    const auto again = ProcessInventoryHardware::snapshot(::getpid());
    ASSERT_TRUE(again);
    ASSERT_NE(find(*again, child.pid()), nullptr);
    EXPECT_EQ(identityOf(*find(*again, child.pid())), identityOf(*sleeper));
}

TEST(SystemProcessReaders, AStartTimeOffByOneMicrosecondOrSecondGivesAnEmptyReading)
{
    ChildProcess child({"sleep", "30"});
    const auto inventory = ProcessInventoryHardware::snapshot(0);
    ASSERT_TRUE(inventory);
    const auto* reading = find(*inventory, child.pid());
    ASSERT_NE(reading, nullptr);
    ProcessDetailRequest request = identityOf(*reading);
    EXPECT_TRUE(isFilled(detailOf(request)));

    ProcessDetailRequest later = request;
    later.startMicroseconds = (later.startMicroseconds + 1) % 1'000'000;
    EXPECT_TRUE(isEmpty(detailOf(later)));
    ProcessDetailRequest earlier = request;
    earlier.startSeconds -= 1;
    EXPECT_TRUE(isEmpty(detailOf(earlier)));
}

TEST(SystemProcessReaders, AChildThatExitedGivesAnEmptyReadingAndLeavesTheInventory)
{
    ChildProcess child({"sleep", "30"});
    const auto inventory = ProcessInventoryHardware::snapshot(0);
    ASSERT_TRUE(inventory);
    const auto* reading = find(*inventory, child.pid());
    ASSERT_NE(reading, nullptr);
    const ProcessDetailRequest request = identityOf(*reading);

    ASSERT_TRUE(child.killToZombie());
    EXPECT_TRUE(isEmpty(detailOf(request))) << "a zombie, not yet reaped";

    child.reap();
    EXPECT_TRUE(isEmpty(detailOf(request))) << "gone";
    const auto after = ProcessInventoryHardware::snapshot(0);
    ASSERT_TRUE(after);
    EXPECT_EQ(find(*after, request.pid), nullptr);
}

// Starts `sleep` as the unprivileged user 65534 and waits until the switch is visible.
ChildProcess startAsNobody()
{
    constexpr uid_t kNobody = 65534;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
            ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    ChildProcess child = ChildProcess::adopt(pid);
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::ifstream file(status);
        std::string line;
        while (std::getline(file, line)) {
            if (line.starts_with("Uid:") && line.find("\t65534\t65534") != std::string::npos) {
                return child;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return child;
}

TEST(SystemProcessReaders, AProcessOfAnotherUserIsNeitherListedNorDetailed)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "starting a process of another user needs root";
    }
    ChildProcess other = startAsNobody();
    ASSERT_GT(other.pid(), 0);
    // Its identity as the table sees it, to ask for exactly that process.
    const auto table = systemProcessTable();
    ProcessBsdInfo bsd {};
    ASSERT_EQ(table->bsdInfo(other.pid(), bsd), kBsdInfoBytes);
    ASSERT_EQ(bsd.pbi_uid, 65534U) << "the child did not switch users";

    const auto inventory = ProcessInventoryHardware::snapshot(other.pid());
    ASSERT_TRUE(inventory);
    EXPECT_EQ(find(*inventory, other.pid()), nullptr);
    EXPECT_NE(find(*inventory, ::getpid()), nullptr);
    EXPECT_TRUE(isEmpty(detailOf({other.pid(), bsd.pbi_start_tvsec, bsd.pbi_start_tvusec})));
}

// One line of `ps` for a pid.
struct PsLine {
    std::string comm;
    std::time_t start = 0;
    std::uint64_t residentKibibytes = 0;
    int threads = 0;
};

std::map<pid_t, PsLine> psLines(const std::vector<pid_t>& pids)
{
    std::string list;
    for (const pid_t pid : pids) {
        list += (list.empty() ? "" : ",") + std::to_string(pid);
    }
    // Start times in UTC, so that they convert to seconds since the epoch without the local zone.
    std::istringstream output(run("TZ=UTC0 LC_ALL=C ps -o pid=,nlwp=,rss=,lstart=,comm= -p " + list));
    std::map<pid_t, PsLine> lines;
    std::string line;
    while (std::getline(output, line)) {
        std::istringstream fields(line);
        pid_t pid = 0;
        PsLine ps;
        std::string weekday;
        std::string month;
        std::string day;
        std::string time;
        std::string year;
        fields >> pid >> ps.threads >> ps.residentKibibytes >> weekday >> month >> day >> time >> year;
        std::getline(fields >> std::ws, ps.comm);
        std::tm parts {};
        const std::string stamp = month + " " + day + " " + time + " " + year;
        if (::strptime(stamp.c_str(), "%b %d %H:%M:%S %Y", &parts) == nullptr) {
            continue;
        }
        ps.start = ::timegm(&parts);
        lines[pid] = ps;
    }
    return lines;
}

// Start times in clock ticks since the epoch from psutil, or nothing when psutil is not installed.
std::map<pid_t, long long> psutilStartTicks(const std::vector<pid_t>& pids, long ticksPerSecond)
{
    std::string list;
    for (const pid_t pid : pids) {
        list += std::to_string(pid) + ",";
    }
    const std::string script = "import psutil\nfor p in (" + list +
        "):\n    print(p, round(psutil.Process(p).create_time() * " + std::to_string(ticksPerSecond) + "))\n";
    std::istringstream output(run("/usr/bin/python3 -c '" + script + "' 2>/dev/null"));
    std::map<pid_t, long long> ticks;
    pid_t pid = 0;
    long long value = 0;
    while (output >> pid >> value) {
        ticks[pid] = value;
    }
    return ticks;
}

TEST(SystemProcessReaders, AgreesWithPsAndPsutilOnTheTestsChildren)
{
    std::vector<ChildProcess> children;
    children.emplace_back(std::vector<std::string> {"sleep", "30"});
    children.emplace_back(std::vector<std::string> {"sleep", "31"});
    children.emplace_back(std::vector<std::string> {"tail", "-f", "/dev/null"}); // another program name
    std::vector<pid_t> pids;
    for (const auto& child : children) {
        ASSERT_GT(child.pid(), 0);
        pids.push_back(child.pid());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let the children settle their memory

    const auto inventory = ProcessInventoryHardware::snapshot(0);
    ASSERT_TRUE(inventory);
    const auto ps = psLines(pids);
    ASSERT_EQ(ps.size(), pids.size()) << "ps did not report every child";
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    const auto psutil = psutilStartTicks(pids, ticksPerSecond);

    for (const pid_t pid : pids) {
        const auto* reading = find(*inventory, pid);
        ASSERT_NE(reading, nullptr) << pid;
        const PsLine& line = ps.at(pid);
        EXPECT_EQ(reading->name, line.comm) << pid;
        EXPECT_EQ(static_cast<std::time_t>(reading->startSeconds), line.start) << pid;
        EXPECT_EQ(reading->residentBytes / 1024, line.residentKibibytes) << pid;
        const ProcessDetailReading detail = detailOf(identityOf(*reading));
        EXPECT_EQ(detail.threads, line.threads) << pid;
        if (!psutil.empty()) {
            const long long ticks = static_cast<long long>(reading->startSeconds) * ticksPerSecond +
                static_cast<long long>(reading->startMicroseconds) * ticksPerSecond / 1'000'000;
            EXPECT_EQ(ticks, psutil.at(pid)) << "start time to the tick, " << pid;
        }
    }
    if (psutil.empty()) {
        GTEST_SKIP() << "psutil is not installed: start times were checked to the second only";
    }
}

} // namespace
} // namespace quorvantile
