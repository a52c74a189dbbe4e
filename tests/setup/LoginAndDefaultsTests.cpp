// The autostart login item and the defaults file, each in a temporary configuration folder.
#include "CompanionProcess.h"
#include "SetupTestSupport.h"

#include "setup/linux/JsonDefaultsStore.h"
#include "setup/linux/SystemSensorCompanionLogin.h"
#include "setup/linux/XdgFolders.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quorvantile::setup {
namespace {

using namespace testing;

TEST(JsonDefaultsStore, KeepsOtherKeysWritesAtomicallyAndLosesNothingUnreadable)
{
    const quorvantile::testing::TemporaryDirectory home;
    const auto file = home / "com.zembo.quorvantile.sensors" / "defaults.json";
    JsonDefaultsStore store(file);
    EXPECT_FALSE(store.value("sensorsEnabled.v1").has_value()) << "no file reads as empty";

    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << R"({"other":[1,2],"sensorsEnabled.v1":"yes"})";
    EXPECT_EQ(store.value("sensorsEnabled.v1"), json::Json("yes")) << "values of any type are returned as they are";
    ASSERT_TRUE(store.setValue("sensorsEnabled.v1", true));
    EXPECT_EQ(store.value("sensorsEnabled.v1"), json::Json(true));
    EXPECT_EQ(store.value("other"), json::Json::parse("[1,2]"));

    struct stat status { };
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600U);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), 1)
        << "no temporary file is left behind";

    // A corrupt file reads as empty, and only a write replaces it.
    for (const std::string corrupt : {"{\"sensorsEnabled.v1\": tru", "[true]", ""}) {
        std::ofstream(file) << corrupt;
        EXPECT_FALSE(store.value("sensorsEnabled.v1").has_value()) << corrupt;
        EXPECT_EQ(contents(file), corrupt) << "a read leaves the file alone";
    }
    ASSERT_TRUE(store.setValue("sensorsEnabled.v1", false));
    EXPECT_EQ(store.value("sensorsEnabled.v1"), json::Json(false));

    // A file that is there but cannot be read is not replaced by a write that would lose it.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_FALSE(store.setValue("sensorsEnabled.v1", true));
    EXPECT_TRUE(std::filesystem::is_directory(file));
}

TEST(SystemSensorCompanionLogin, RegistersAnAutostartEntryForThisExecutable)
{
    const quorvantile::testing::TemporaryDirectory home;
    const auto folder = home / "autostart";
    const std::filesystem::path executable = "/opt/quorvantile/bin/quorvantile-sensors";
    std::vector<std::filesystem::path> opened;
    SystemSensorCompanionLogin login(folder, executable, [&](const auto& path) { opened.push_back(path); });
    EXPECT_EQ(login.status(), LoginItemStatus::notRegistered);

    ASSERT_TRUE(waitFor(login.setEnabled(true)).ok());
    EXPECT_EQ(login.status(), LoginItemStatus::enabled);
    const std::string entry = contents(login.entryPath());
    EXPECT_EQ(login.entryPath().filename(), "com.zembo.quorvantile.sensors.desktop");
    EXPECT_NE(
        entry.find("\nExec=env QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM=1 " + executable.string() + "\n"), std::string::npos)
        << entry;

    // An entry that is hidden, or starts another program, is not this application's login item.
    for (const std::string& changed : {entry + "Hidden=true\n", autostartEntry("/usr/bin/other")}) {
        std::ofstream(login.entryPath()) << changed;
        EXPECT_EQ(login.status(), LoginItemStatus::notRegistered) << changed;
    }

    ASSERT_TRUE(waitFor(login.setEnabled(false)).ok());
    EXPECT_FALSE(std::filesystem::exists(login.entryPath()));
    const Outcome again = waitFor(login.setEnabled(false));
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().localizedDescription(), "No such file or directory");

    login.openSettings();
    EXPECT_EQ(opened, std::vector {folder});
    EXPECT_TRUE(std::filesystem::is_directory(folder)) << "the folder is there to be shown";

    SystemSensorCompanionLogin unresolved(folder, std::nullopt, {});
    EXPECT_EQ(unresolved.status(), LoginItemStatus::notFound);
    EXPECT_FALSE(waitFor(unresolved.setEnabled(true)).ok());
}

TEST(SystemSensorCompanionLogin, QuotesTheExecutableOnTheExecLine)
{
    for (const std::string executable : {"/opt/Quorvantile Sensors/bin/quorvantile-sensors",
             "/home/a\"b/$HOME/100%/x`y`", "/home/back\\slash/tab\there/semi;colon"}) {
        EXPECT_EQ(autostartProgram(autostartEntry(executable)), executable);
    }
    EXPECT_EQ(autostartProgram("[Other]\nExec=/bin/x\n"), std::nullopt) << "only the desktop entry group counts";
    EXPECT_EQ(autostartProgram("[Desktop Entry]\nExec=\"/bin/open quote\n"), std::nullopt);
}

TEST(SetupFolders, FollowTheConfigurationHome)
{
    const quorvantile::testing::TemporaryDirectory home;
    Environment environment;
    environment.home = "/h";
    EXPECT_EQ(configurationHome(environment), "/h/.config");
    environment.configHome = home.path();
    EXPECT_EQ(configurationHome(environment), home.path());
    ASSERT_TRUE(systemDefaultsStore(home.path())->setValue("sensorsEnabled.v1", true));
    EXPECT_TRUE(std::filesystem::exists(home / "com.zembo.quorvantile.sensors" / "defaults.json"));

    const auto login = systemSensorCompanionLogin(home.path(), {});
    ASSERT_TRUE(waitFor(login->setEnabled(true)).ok());
    EXPECT_EQ(login->entryPath().parent_path(), home / "autostart");
    EXPECT_EQ(autostartProgram(contents(login->entryPath())), applicationExecutable()->string());
}

} // namespace
} // namespace quorvantile::setup
