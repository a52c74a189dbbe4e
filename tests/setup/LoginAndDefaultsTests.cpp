// The autostart login item and the defaults file, each in a temporary configuration folder.
#include "CompanionProcess.h"
#include "SetupTestSupport.h"
#include "common/JsonDecode.h"

#include "setup/linux/DesktopEntryText.h"
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
    ASSERT_TRUE(store.setValue("sensorsEnabled.v1", true).ok());
    EXPECT_EQ(store.value("sensorsEnabled.v1"), json::Json(true));
    EXPECT_EQ(store.value("other"), json::Json::parse("[1,2]"));

    struct stat status { };
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600U);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), 1)
        << "no temporary file is left behind";

    // A file that is not a JSON object reads as empty, and a write leaves it byte for byte rather
    // than lose what it holds; an empty file is an empty object.
    const std::string oversized = R"({"other":")" + std::string(1 << 20, 'x') + R"(","sensorsEnabled.v1":true})";
    const std::pair<std::string, std::string> refused[] = {
        {"{\"sensorsEnabled.v1\": tru", "defaults.json does not hold a JSON object"},
        {"[true]", "defaults.json does not hold a JSON object"},
        {oversized, "File too large"},
    };
    for (const auto& [text, error] : refused) {
        SCOPED_TRACE(text.substr(0, 40));
        std::ofstream(file, std::ios::trunc) << text;
        EXPECT_FALSE(store.value("sensorsEnabled.v1").has_value());
        const Outcome written = store.setValue("sensorsEnabled.v1", false);
        ASSERT_FALSE(written.ok());
        EXPECT_EQ(written.error().localizedDescription(), error);
        EXPECT_EQ(contents(file), text) << "the file was replaced";
    }
    std::ofstream(file, std::ios::trunc) << " \n";
    ASSERT_TRUE(store.setValue("sensorsEnabled.v1", false).ok());
    EXPECT_EQ(store.value("sensorsEnabled.v1"), json::Json(false));

    // A folder in its place is not replaced either.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_EQ(store.setValue("sensorsEnabled.v1", true), Outcome(SetupError::system("read", EISDIR)));
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
    EXPECT_EQ(login.entryPath().filename(), "com.zembo.quorvantile.sensors.desktop");
    EXPECT_EQ(contents(login.entryPath()),
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Quorvantile Sensors\n"
        "Comment=Keeps the sensor companion running\n"
        "Exec=env QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM=1 /opt/quorvantile/bin/quorvantile-sensors\n"
        "Terminal=false\n"
        "NoDisplay=true\n"
        "X-GNOME-Autostart-enabled=true\n");

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

// The entry is this application's login item only while a launcher would read it as the one written.
TEST(SystemSensorCompanionLogin, TheWholeEntryMustBeTheOneWritten)
{
    const quorvantile::testing::TemporaryDirectory home;
    const std::string executable = "/opt/quorvantile/bin/quorvantile-sensors";
    SystemSensorCompanionLogin login(home / "autostart", executable, {});
    ASSERT_TRUE(waitFor(login.setEnabled(true)).ok());
    const std::string written = contents(login.entryPath());
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = written;
        const auto at = text.find(from);
        return at == std::string::npos ? "(not found: " + from + ")" : text.replace(at, from.size(), to);
    };
    const std::pair<std::string, LoginItemStatus> cases[] = {
        {written, LoginItemStatus::enabled},
        {"# written by hand\n\n" + replaced("Type=Application\n", "") + " Type = Application \n",
            LoginItemStatus::enabled},
        {replaced("Name=Quorvantile Sensors", "Name=Quorvantile\\sSensors"), LoginItemStatus::enabled},
        {replaced("Type=Application\n", ""), LoginItemStatus::notRegistered},
        {replaced("Terminal=false", "Terminal=true"), LoginItemStatus::notRegistered},
        {written + "Hidden=true\n", LoginItemStatus::notRegistered},
        {replaced("X-GNOME-Autostart-enabled=true", "X-GNOME-Autostart-enabled=false"), LoginItemStatus::notRegistered},
        {written + "OnlyShowIn=KDE;\n", LoginItemStatus::notRegistered},
        {replaced(executable, "/usr/bin/other"), LoginItemStatus::notRegistered},
        {replaced(executable, executable + " --on-demand"), LoginItemStatus::notRegistered},
        {replaced("env QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM=1 ", ""), LoginItemStatus::notRegistered},
        {written + "Exec=/usr/bin/other\n", LoginItemStatus::notRegistered}, // repeated: not an entry
        {written + "[Desktop Action other]\nExec=/usr/bin/other\n", LoginItemStatus::notRegistered},
        {written + "not a key\n", LoginItemStatus::notRegistered},
        {replaced("Name=Quorvantile Sensors", "Name=Quorvantile\\xSensors"), LoginItemStatus::notRegistered},
        {replaced("[Desktop Entry]", "[Desktop Entry"), LoginItemStatus::notRegistered},
        {written + "X-Note=\xff\n", LoginItemStatus::notRegistered},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        std::ofstream(login.entryPath(), std::ios::trunc) << text;
        EXPECT_EQ(login.status(), expected);
    }
}

// A launcher reads the Exec line back into the very path written, whatever it holds, and the
// program starts with the login-item variable.
TEST(SystemSensorCompanionLogin, AnyExecutablePathRunsFromTheEntry)
{
    const quorvantile::testing::TemporaryDirectory home;
    const auto record = home / "record";
    for (const std::string folder : {"plain", "with=sign", "a=b c\"d$e\\f%g", "two words", "quote'single'",
             "dollar$HOME", "back\\slash", "100%", "tab\there", "new\nline", "`tick`", "semi;colon", "#hash", "(paren)",
             "a<b>c|d&e*f?g~h", "nicht ASCII \xc3\xbc"}) {
        SCOPED_TRACE(folder);
        std::filesystem::create_directories(home / folder);
        const std::string executable = (home / folder / "quorvantile-sensors").string();
        std::ofstream(executable) << "#!/bin/sh\nprintf '%s\\n%s\\n' \"$QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM\" \"$0\" > '"
                                  << record.string() << "'\n";
        ::chmod(executable.c_str(), 0755);
        std::filesystem::remove(record);

        SystemSensorCompanionLogin login(home / "autostart", executable, {});
        ASSERT_TRUE(waitFor(login.setEnabled(true)).ok());
        EXPECT_EQ(login.status(), LoginItemStatus::enabled);
        const auto entry = parseDesktopEntryGroups(contents(login.entryPath()));
        ASSERT_TRUE(entry.has_value());
        auto command = execArguments(entry->at("Desktop Entry").at("Exec"));
        ASSERT_TRUE(command.has_value() && !command->empty());
        ASSERT_EQ(command->front(), "env");
        command->front() = "/usr/bin/env";
        quorvantile::testing::ChildProcess launched(*command, {});
        EXPECT_EQ(launched.waitForExit(10.0), 0);
        EXPECT_EQ(contents(record), "1\n" + executable + "\n");
    }

    // A path that no desktop entry can hold is refused, not written broken.
    SystemSensorCompanionLogin unwritable(home / "autostart", "/opt/bad\x01name/quorvantile-sensors", {});
    EXPECT_EQ(waitFor(unwritable.setEnabled(true)), Outcome(SetupError::system("open", EILSEQ)));
    EXPECT_EQ(unwritable.status(), LoginItemStatus::notRegistered);
}

TEST(DesktopEntryText, ExecArgumentsReadTheQuotingBack)
{
    const std::vector<std::vector<std::string>> commands = {
        {"env", "A=1", "/opt/x"},
        {"", "two words", "a\"b`c$d\\e", "100%", "tab\tand\nline"},
    };
    for (const auto& command : commands) {
        EXPECT_EQ(execArguments(execValue(command)), command) << execValue(command);
    }
    // As a launcher reads it: a reserved character quotes the argument, and ` and $ are escaped there.
    EXPECT_EQ(execValue({"/opt/a`b", "c$d"}), R"("/opt/a\`b" "c\$d")");
    EXPECT_EQ(execArguments(R"(a  "b c"d e%%f)"), (std::vector<std::string> {"a", "b cd", "e%f"}));
    EXPECT_EQ(execArguments(R"("open quote)"), std::nullopt);
    EXPECT_EQ(execArguments("/usr/bin/x %f"), std::nullopt) << "a field code nothing asks for";
}

TEST(SetupFolders, FollowTheConfigurationHome)
{
    const quorvantile::testing::TemporaryDirectory home;
    Environment environment;
    environment.home = "/h";
    EXPECT_EQ(configurationHome(environment), "/h/.config");
    environment.configHome = home.path();
    EXPECT_EQ(configurationHome(environment), home.path());
    ASSERT_TRUE(systemDefaultsStore(home.path())->setValue("sensorsEnabled.v1", true).ok());
    EXPECT_TRUE(std::filesystem::exists(home / "com.zembo.quorvantile.sensors" / "defaults.json"));

    const auto login = systemSensorCompanionLogin(home.path(), {});
    ASSERT_TRUE(waitFor(login->setEnabled(true)).ok());
    EXPECT_EQ(login->entryPath().parent_path(), home / "autostart");
    EXPECT_EQ(contents(login->entryPath()), autostartEntry(applicationExecutable()->string()));
}

} // namespace
} // namespace quorvantile::setup
