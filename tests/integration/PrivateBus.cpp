#include "PrivateBus.h"
#include "common/JsonDecode.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace quorvantile::testing {
namespace {

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPython = "/usr/bin/python3";
constexpr double kStartSeconds = 10.0;

// Anyone on it may own any name and send anything: it stands for the system bus in one test only.
constexpr const char* kConfiguration =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <servicedir>@SERVICES@</servicedir>
  <policy context="default">
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

std::optional<std::string> findUnavailable()
{
    if (access(kDaemon, X_OK) != 0) {
        return std::string(kDaemon) + " is missing (Debian package dbus)";
    }
    ChildProcess probe({kPython, "-c", "import dbus, dbusmock, gi.repository.GLib"}, {.errorsToPipe = true});
    probe.closeInput();
    (void)probe.readErrors(kStartSeconds);
    if (probe.waitForExit(kStartSeconds) != 0) {
        return std::string(kPython) + " cannot import dbusmock (Debian package python3-dbusmock)";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> PrivateBus::unavailable()
{
    static const std::optional<std::string> reason = findUnavailable();
    return reason;
}

PrivateBus::PrivateBus(const std::string& bluezActivation)
{
    const std::string services = folder_.path() + "/services";
    std::filesystem::create_directory(services);
    if (!bluezActivation.empty()) {
        std::ofstream(services + "/org.bluez.service")
            << "[D-BUS Service]\nName=org.bluez\nExec=" << bluezActivation << "\n";
    }
    std::string configuration = kConfiguration;
    configuration.replace(configuration.find("@SOCKET@"), 8, folder_.path() + "/bus");
    configuration.replace(configuration.find("@SERVICES@"), 10, services);
    const std::string configurationPath = folder_.path() + "/bus.conf";
    std::ofstream(configurationPath) << configuration;
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string> {kDaemon, "--config-file=" + configurationPath,
                                                 "--nofork", "--nopidfile", "--nosyslog", "--print-address=1"},
        ChildOptions {.errorsToPipe = true});
    address_ = daemon_->readLine(kStartSeconds).value_or("");
}

std::unique_ptr<ChildProcess> PrivateBus::startBluez(const nlohmann::json& description) const
{
    const std::string path = folder_.path() + "/bluez-" + std::to_string(++descriptions_) + ".json";
    std::ofstream(path) << description.dump();
    auto bluez = std::make_unique<ChildProcess>(std::vector<std::string> {kPython, QUORVANTILE_BLUEZ_STAND_IN, path},
        ChildOptions {.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", address_}}});
    if (bluez->readLine(kStartSeconds) != "ready") {
        return nullptr;
    }
    return bluez;
}

} // namespace quorvantile::testing
