// What the platform reports about running applications and processes, as the quit handler takes
// it, and the socket options of the Linux side.
#include "companion/AppQuitProcess.h"
#include "companion/RunningApplicationProperties.h"
#include "companion/SensorTransport.h"
#include "companion/SocketOptions.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>

namespace quorvantile {
namespace {

TEST(RunningApplicationProperties, OnlyTheRegularPolicyReadsAsRegular)
{
    EXPECT_EQ(activationPolicyFromPlatform(0), ActivationPolicy::regular);
    EXPECT_EQ(activationPolicyFromPlatform(1), ActivationPolicy::accessory);
    EXPECT_EQ(activationPolicyFromPlatform(2), ActivationPolicy::prohibited);
    for (const std::int64_t unknown : {std::int64_t {3}, std::int64_t {-1}, std::int64_t {1} << 40}) {
        EXPECT_EQ(activationPolicyFromPlatform(unknown), ActivationPolicy::prohibited) << unknown;
    }
}

TEST(RunningApplicationProperties, ABundleIdentifierIsNonEmptyUnicodeWithoutZeroBytes)
{
    using namespace std::string_literals;
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases = {
        {"org.example.Editor", "org.example.Editor"},
        {"org.exämple.editor", "org.exämple.editor"}, // the request's rules refuse it later
        {std::nullopt, std::nullopt},
        {"", std::nullopt},
        {"org.example\0.editor"s, std::nullopt},
        {"org.example.\xff", std::nullopt},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(bundleIdentifierFromPlatform(given), expected) << given.value_or("(none)");
    }
}

// Answers bsdInfo from the records the test set; everything else fails.
struct BsdOnlyTable final : ProcessTable {
    std::map<std::int32_t, std::pair<int, ProcessBsdInfo>> records;
    std::vector<std::int32_t> asked;

    int listPids(std::uint32_t, std::span<std::int32_t, kProcessIdSlots>) override { return 0; }
    int bsdInfo(std::int32_t pid, ProcessBsdInfo& info) override
    {
        asked.push_back(pid);
        const auto found = records.find(pid);
        if (found == records.end()) {
            return 0;
        }
        info = found->second.second;
        return found->second.first;
    }
    int taskAllInfo(std::int32_t, ProcessTaskAllInfo&) override { return 0; }
    int usageInfo(std::int32_t, ProcessUsageInfo&) override { return -1; }
    [[nodiscard]] std::uint32_t effectiveUid() const override { return 501; }
    [[nodiscard]] std::unique_ptr<ProcessTable> viewForAnotherThread() const override { return nullptr; }
};

TEST(LiveProcessIdentity, TheLiveProcessOfThatIdOnly)
{
    const auto record = [](std::uint32_t pid, std::uint32_t status) {
        ProcessBsdInfo info;
        info.pbi_pid = pid;
        info.pbi_status = status;
        info.pbi_uid = 501;
        info.pbi_start_tvsec = 1'700'000'000;
        info.pbi_start_tvusec = 250'000;
        return info;
    };
    BsdOnlyTable table;
    table.records[10] = {kBsdInfoBytes, record(10, kProcessStatusSleeping)};
    table.records[11] = {kBsdInfoBytes, record(11, kProcessStatusZombie)};
    table.records[12] = {kBsdInfoBytes, record(99, kProcessStatusRunning)}; // another process answered
    table.records[13] = {kBsdInfoBytes - 1, record(13, kProcessStatusRunning)}; // a short record
    table.records[14] = {kBsdInfoBytes, record(14, kProcessStatusStopped)};

    EXPECT_EQ(liveProcessIdentity(table, 10), (AppQuitProcessIdentity {10, 1'700'000'000, 250'000, 501}));
    EXPECT_EQ(liveProcessIdentity(table, 14), (AppQuitProcessIdentity {14, 1'700'000'000, 250'000, 501}));
    for (const std::int32_t refused : {11, 12, 13, 15, 0, -1}) {
        EXPECT_EQ(liveProcessIdentity(table, refused), std::nullopt) << refused;
    }
    EXPECT_EQ(std::count(table.asked.begin(), table.asked.end(), 0), 0); // never asked below 1
}

TEST(SocketOptions, EverySocketComesNonBlockingAndCloseOnExec)
{
    const auto configured = [](int fd) {
        return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0 && (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    };
    const UniqueFd listener = SensorTransport::streamSocket();
    ASSERT_TRUE(listener);
    EXPECT_TRUE(configured(listener.get()));

    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string name = "quorvantile-socket-options-" + std::to_string(getpid()); // an abstract name
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);

    errno = 0;
    EXPECT_FALSE(SensorTransport::acceptConnection(listener.get()));
    EXPECT_EQ(errno, EAGAIN); // nobody waiting: the loop's next pass

    const UniqueFd client = SensorTransport::streamSocket();
    ASSERT_TRUE(client);
    ASSERT_EQ(connect(client.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    const UniqueFd accepted = SensorTransport::acceptConnection(listener.get());
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(configured(accepted.get()));
}

} // namespace
} // namespace quorvantile
