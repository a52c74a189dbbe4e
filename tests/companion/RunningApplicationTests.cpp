// The running-application lookup on fixture trees: a proc tree holding this test process's own
// entries (so that its pidfd and start time are real), a mount table that puts the unified cgroup
// hierarchy at a folder of the fixture, and data folders with desktop entries. The real quit of a
// real application is the integration tests' business.
#include "CompanionProcess.h"
#include "FuseMount.h"
#include "common/linux/MountTable.h"
#include "companion/linux/RunningApplication.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

namespace quorvantile {
namespace {

using testing::FuseMount;
using testing::TemporaryDirectory;

constexpr std::string_view kUnit = "/user.slice/user-1000.slice/user@1000.service/app.slice";
constexpr std::string_view kEditorScope = "app-gnome-org.example.Editor-4242.scope";
constexpr std::string_view kRegular = "[Desktop Entry]\nType=Application\nName=Editor\nExec=editor\n";

std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const std::filesystem::path& path, std::string_view text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class ApplicationFixture {
public:
    // With `manyMounts`, the table holds more than 256 KiB of container mounts after the real ones.
    explicit ApplicationFixture(bool manyMounts = true)
    {
        std::filesystem::permissions(root_.path(), std::filesystem::perms(0755));
        const std::string self = std::to_string(getpid());
        write(process_ / "stat", fileText("/proc/self/stat"));
        write(process_ / "mountinfo", fileText("/proc/self/mountinfo"));
        write(proc_ / "1" / "stat", fileText("/proc/1/stat")); // older than any test process
        // The fixture's cgroup hierarchy comes first, so it is the one found; the real mounts follow, as
        // the checks of what may stall need them.
        std::ofstream table(mountInfo_);
        table << "999999 1 0:9999 / " << root_.path() << "/cgroup rw,nosuid - cgroup2 cgroup2 rw\n"
              << fileText("/proc/self/mountinfo");
        for (int line = 0; manyMounts && line < 3000; ++line) {
            table << 1'000'000 + line << " 1 0:" << 1000 + line << " / /var/lib/containers/storage/overlay/"
                  << std::string(64, 'c') << line << "/merged rw - overlay overlay rw,lowerdir=/l,upperdir=/u\n";
        }
    }

    // The process sits in the cgroup `path` (below the unified hierarchy), alone or after `others`.
    void inCgroup(const std::string& path, const std::vector<pid_t>& others = {})
    {
        write(process_ / "cgroup", "0::" + path + "\n");
        std::string procs;
        for (const pid_t pid : others) {
            procs += std::to_string(pid) + "\n";
        }
        write(root_ / "cgroup" / path.substr(1) / "cgroup.procs", procs + std::to_string(getpid()) + "\n");
    }

    // Its root holds .flatpak-info with `text` (a symbolic link to it when `linked`).
    void sandboxed(std::string_view text, bool linked = false)
    {
        const std::filesystem::path sandbox = root_ / "sandbox";
        write(sandbox / (linked ? "elsewhere" : ".flatpak-info"), text);
        if (linked) {
            std::filesystem::create_symlink(sandbox / "elsewhere", sandbox / ".flatpak-info");
        }
        std::filesystem::create_symlink(sandbox, process_ / "root");
    }

    void entry(const std::string& id, std::string_view text)
    {
        write(std::filesystem::path(data_) / "applications" / (id + ".desktop"), text);
    }

    [[nodiscard]] std::unique_ptr<LinuxRunningApplication> lookUp(std::vector<std::string> dataDirectories = {}) const
    {
        mounts::MountTable table(mountInfo_);
        if (dataDirectories.empty()) {
            dataDirectories.push_back(data_);
        }
        return lookUpRunningApplication(getpid(), {proc_, dataDirectories}, table);
    }

    [[nodiscard]] const std::string& mountInfo() const { return mountInfo_; }
    [[nodiscard]] const std::string& data() const { return data_; }

private:
    TemporaryDirectory root_;
    std::filesystem::path proc_ = root_ / "proc";
    std::filesystem::path process_ = proc_ / std::to_string(getpid());
    std::string data_ = root_ / "data";
    std::string mountInfo_ = root_ / "mountinfo";
};

TEST(RunningApplicationLookup, TheUnitOrTheSandboxNamesItAndOnlyARegularEntryMakesItRegular)
{
    const std::string scope = std::string(kUnit) + "/" + std::string(kEditorScope);
    const std::string session = "/user.slice/user-1000.slice/session-2.scope";
    const struct {
        const char* what;
        std::function<void(ApplicationFixture&)> prepare;
        std::optional<std::string> id; // nullopt: no running application
        ActivationPolicy policy = ActivationPolicy::regular;
    } cases[] = {
        {"an app scope with a regular entry",
            [&](ApplicationFixture& f) {
                f.inCgroup(scope);
                f.entry("org.example.Editor", kRegular);
            },
            "org.example.Editor"},
        {"an app scope without any desktop entry: a background program",
            [&](ApplicationFixture& f) { f.inCgroup(scope); }, "org.example.Editor", ActivationPolicy::prohibited},
        {"an entry hidden from launchers",
            [&](ApplicationFixture& f) {
                f.inCgroup(scope);
                f.entry("org.example.Editor", std::string(kRegular) + "NoDisplay=true\n");
            },
            "org.example.Editor", ActivationPolicy::accessory},
        {"not the oldest process of its unit",
            [&](ApplicationFixture& f) {
                f.inCgroup(scope, {1});
                f.entry("org.example.Editor", kRegular);
            },
            std::nullopt},
        {"outside an app unit, a Flatpak's sandbox names it",
            [&](ApplicationFixture& f) {
                f.inCgroup(session);
                f.sandboxed("[Application]\nname=org.example.Sandboxed\n");
                f.entry("org.example.Sandboxed", kRegular);
            },
            "org.example.Sandboxed"},
        {"a .flatpak-info that is a link out of the sandbox",
            [&](ApplicationFixture& f) {
                f.inCgroup(session);
                f.sandboxed("[Application]\nname=org.example.Sandboxed\n", /*linked=*/true);
                f.entry("org.example.Sandboxed", kRegular);
            },
            std::nullopt},
        {"outside an app unit and no sandbox", [&](ApplicationFixture& f) { f.inCgroup(session); }, std::nullopt},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        ApplicationFixture fixture;
        ASSERT_GT(std::filesystem::file_size(fixture.mountInfo()), 256U * 1024U) << "a host with many mounts";
        row.prepare(fixture);
        const auto application = fixture.lookUp();
        ASSERT_EQ(application != nullptr, row.id.has_value());
        if (application) {
            EXPECT_EQ(application->processIdentifier(), getpid());
            EXPECT_EQ(application->bundleIdentifier(), row.id);
            EXPECT_EQ(application->activationPolicy(), row.policy);
            EXPECT_FALSE(application->isTerminated());
        }
    }
}

// Desktop entries in a data folder whose file system has stopped answering: the lookup does not wait
// for it, and since the entry that would decide cannot be seen, none decides.
TEST(RunningApplicationLookup, ADataFolderOnAStalledMountIsNotWaitedFor)
{
    const TemporaryDirectory source;
    std::filesystem::permissions(source.path(), std::filesystem::perms(0755));
    write(source / "applications/org.example.Editor.desktop", kRegular);
    FuseMount mount(source.path());
    if (mount.unavailable()) {
        GTEST_SKIP() << *mount.unavailable();
    }
    ApplicationFixture fixture(/*manyMounts=*/false);
    fixture.inCgroup(std::string(kUnit) + "/" + std::string(kEditorScope));
    fixture.entry("org.example.Editor", kRegular); // in the folder after the stalled one
    mount.stop();
    auto lookup = std::async(std::launch::async, [&] { return fixture.lookUp({mount.path(), fixture.data()}); });
    if (lookup.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        mount.resume(); // so that the lookup can end before the fixture goes
        ADD_FAILURE() << "the lookup waited for the stalled file system";
    }
    const auto application = lookup.get();
    ASSERT_TRUE(application);
    EXPECT_EQ(application->activationPolicy(), ActivationPolicy::prohibited);
}

} // namespace
} // namespace quorvantile
