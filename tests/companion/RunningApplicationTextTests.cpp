// The texts the Linux running-application lookup reads, as literal text.
#include "companion/linux/RunningApplicationText.h"

#include <gtest/gtest.h>

namespace quorvantile::applications {
namespace {

TEST(RunningApplicationText, CgroupLineOfTheUnitsTakesTheHybridFallback)
{
    const auto path = [](std::string_view text) {
        const auto found = systemdCgroup(text);
        return found
            ? std::string(found->path) + (found->hierarchy == CgroupHierarchy::unified ? " (unified)" : " (v1)")
            : std::string("none");
    };
    EXPECT_EQ(path("0::/user.slice/app.slice/app-a-1.scope\n"), "/user.slice/app.slice/app-a-1.scope (unified)");
    // A hybrid hierarchy whose unified line is the root: the name=systemd line holds the units.
    EXPECT_EQ(path("9:name=systemd:/app-a-1.scope\n8:pids:/\n0::/\n"), "/app-a-1.scope (v1)");
    EXPECT_EQ(path("1:name=systemd:/app-a-1.scope\n0::/app-b-2.scope"), "/app-b-2.scope (unified)");
    EXPECT_EQ(path("1:name=systemd:/x\n"), "/x (v1)");
    EXPECT_EQ(path("0::/\n"), "/ (unified)");
    EXPECT_EQ(path("4:memory:/a\nnonsense\n"), "none");
    EXPECT_EQ(path(""), "none");
}

TEST(RunningApplicationText, ApplicationIDsFromUnitNames)
{
    const std::vector<std::pair<std::string_view, std::optional<std::string>>> cases {
        {"app-gnome-org.gnome.Terminal-4242.scope", "org.gnome.Terminal"},
        {"app-org.kde.konsole-1a2b.scope", "org.kde.konsole"},
        {"app-flatpak-org.example.My\\x2dEditor-1234.scope", "org.example.My-Editor"},
        {"app-org.kde.dolphin@12ab.service", "org.kde.dolphin"},
        {"app-gnome-org.example.Editor@autostart.service", "org.example.Editor"},
        {"app-org.example.Editor.service", "org.example.Editor"},
        {"app-dbus-:1.2-org.example.Editor@0.service", std::nullopt},
        {"app-org.example.Editor.scope", std::nullopt}, // a scope always carries its random part
        {"app-a-b-c-d.scope", std::nullopt},
        {"app--1.scope", std::nullopt},
        {"app-x-y-z.service", std::nullopt},
        {"app-org.example.Editor@.service", std::nullopt},
        {"app-..\\x2f..\\x2fetc-1.scope", std::nullopt}, // never a path
        {"app-org.example\\x2-1.scope", std::nullopt},
        {"app-org.example\\y2d-1.scope", std::nullopt},
        {"session-2.scope", std::nullopt},
        {"app-org.example.Editor-1.slice", std::nullopt},
    };
    for (const auto& [unit, id] : cases) {
        EXPECT_EQ(applicationIDFromUnit(unit), id) << unit;
    }
}

TEST(RunningApplicationText, TheUnitIsTheFirstComponentAfterTheSlices)
{
    const auto unit = applicationUnit(
        "/user.slice/user-1000.slice/user@1000.service/app.slice/app-gnome-org.example.Editor-77.scope/sub/deeper");
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->applicationID, "org.example.Editor");
    EXPECT_EQ(unit->unitPath,
        "/user.slice/user-1000.slice/user@1000.service/app.slice/app-gnome-org.example.Editor-77.scope");
    EXPECT_EQ(applicationUnit("/app-org.example.Editor-1.scope")->unitPath, "/app-org.example.Editor-1.scope");
    for (const char* path : {"/", "", "/user.slice/user-1000.slice/session-2.scope",
             "/system.slice/foo.service/app-org.example.Editor-1.scope", "app-org.example.Editor-1.scope"}) {
        EXPECT_FALSE(applicationUnit(path)) << path;
    }
}

TEST(RunningApplicationText, FlatpakInfoAndProcessLists)
{
    EXPECT_EQ(flatpakApplicationName("[Application]\nname=org.example.Editor\nruntime=runtime/x\n\n[Instance]\n"
                                     "name=other\n"),
        "org.example.Editor");
    EXPECT_EQ(flatpakApplicationName("# comment\n[Instance]\nname=x\n[Application]\nname = org.a.B \n"), "org.a.B");
    EXPECT_EQ(flatpakApplicationName("[Application]\nname=../etc\n"), std::nullopt);
    EXPECT_EQ(flatpakApplicationName("[Application]\nruntime=x\n"), std::nullopt);
    EXPECT_EQ(flatpakApplicationName("name=org.a.B\n"), std::nullopt);

    EXPECT_EQ(parseProcessIDs("12\n0\n345\n"), (std::vector<std::int32_t> {12, 345}));
    EXPECT_EQ(parseProcessIDs(""), std::vector<std::int32_t> {});
    EXPECT_EQ(parseProcessIDs("12\nx\n"), std::nullopt);
    EXPECT_EQ(parseProcessIDs("-3\n"), std::nullopt);
}

TEST(RunningApplicationText, DesktopEntriesDecideTheActivationPolicy)
{
    const auto policy = [](std::string_view text) { return activationPolicy(parseDesktopEntry(text)); };
    using enum ActivationPolicy;
    const std::vector<std::pair<std::string_view, ActivationPolicy>> cases {
        {"[Desktop Entry]\nType=Application\nName=Editor\nExec=editor %U\n", regular},
        {"# made by hand\n\n[Desktop Entry]\r\nType = Application \r\nName[de]=Bearbeiter\r\n", regular},
        {"[Desktop Entry]\nType=Application\nNoDisplay=true\n", accessory},
        {"[Desktop Entry]\nType=Application\nHidden=true\n", accessory},
        {"[Desktop Entry]\nType=Application\nNoDisplay=false\nHidden=false\n", regular},
        {"[Desktop Entry]\nType=Application\nNoDisplay=false\nNoDisplay=true\n", regular}, // the first key counts
        {"[Desktop Action new]\nNoDisplay=true\n[Desktop Entry]\nType=Application\n", regular},
        {"[Desktop Entry]\nType=Application\n[Desktop Action new]\nHidden=true\n", regular},
        {"[Desktop Entry]\nType=Link\nURL=https://example.org\n", prohibited},
        {"[Desktop Entry]\nName=Editor\n", prohibited},
        {"Type=Application\n", prohibited},
        {"[Desktop Entry]\nType=Application\nthis line is neither\n", prohibited},
        {"[Desktop Entry\nType=Application\n", prohibited},
        {"", prohibited},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(policy(text), expected) << text;
    }
}

TEST(RunningApplicationText, CgroupMountsAndDataDirectories)
{
    const auto table = quorvantile::mounts::parseMountInfo(
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
        "40 31 0:37 / /sys/fs/cgroup/systemd rw,relatime - cgroup cgroup rw,xattr,name=systemd\n"
        "41 31 0:38 /inner /sys/fs/cgroup/uni\\040fied rw,relatime shared:9 - cgroup2 cgroup2 rw\n");
    ASSERT_TRUE(table);
    const auto mounts = cgroupMounts(*table);
    ASSERT_TRUE(mounts.unified && mounts.namedSystemd);
    EXPECT_EQ(mounts.namedSystemd->mountPoint, "/sys/fs/cgroup/systemd");
    EXPECT_EQ(mounts.unified->mountPoint, "/sys/fs/cgroup/uni fied");
    EXPECT_EQ(cgroupFolder(*mounts.unified, "/inner/app-a-1.scope"), "/sys/fs/cgroup/uni fied/app-a-1.scope");
    EXPECT_EQ(cgroupFolder(*mounts.namedSystemd, "/app-a-1.scope"), "/sys/fs/cgroup/systemd/app-a-1.scope");
    EXPECT_EQ(cgroupFolder(*mounts.unified, "/innerly/app-a-1.scope"), std::nullopt);
    EXPECT_EQ(cgroupFolder(*mounts.namedSystemd, "/../elsewhere/app-a-1.scope"), std::nullopt);
    EXPECT_FALSE(cgroupMounts(
        quorvantile::mounts::parseMountInfo("40 31 0:37 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n").value())
                     .namedSystemd);

    using Folders = std::vector<std::string>;
    EXPECT_EQ(dataDirectories(nullptr, "/home/u", nullptr),
        (Folders {"/home/u/.local/share", "/usr/local/share", "/usr/share"}));
    EXPECT_EQ(dataDirectories("/data", "/home/u", "/a:relative:/b/:"), (Folders {"/data", "/a", "/b/"}));
    EXPECT_EQ(dataDirectories("relative", nullptr, ""), (Folders {"/usr/local/share", "/usr/share"}));
}

} // namespace
} // namespace quorvantile::applications
