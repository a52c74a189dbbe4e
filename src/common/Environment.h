#pragma once

#include <optional>
#include <string>

namespace quorvantile {

// Where the Linux ports find the kernel's trees and the system's services. Tests and the demo point
// them at fixture trees and a private bus.
struct SystemRoots {
    std::string sysfs = "/sys"; // every sysfs reader: SMC over hwmon, batteries, accessories, device tree
    std::string proc = "/proc"; // every /proc reader: processor brand, process table, peer check
    // The system bus in D-Bus address form, where the accessory reader asks BlueZ; the default is the
    // one every D-Bus library uses when the variable is unset.
    std::string systemBus = "unix:path=/run/dbus/system_bus_socket";
};

// What the process environment configures. Only the entries (the companion's SensorCompanion::main
// and serve, the tools' main) read it, once, and pass it down; nothing below them reads variables.
struct Environment {
    // $QUORVANTILE_SYSFS_ROOT, $QUORVANTILE_PROC_ROOT and $DBUS_SYSTEM_BUS_ADDRESS when set and not empty
    SystemRoots roots;
    // $XDG_RUNTIME_DIR, $XDG_CONFIG_HOME, $XDG_STATE_HOME and $HOME, each only when absolute (as XDG
    // asks).
    std::optional<std::string> runtimeDirectory;
    std::optional<std::string> configHome;
    std::optional<std::string> stateHome;
    std::optional<std::string> home;
    // $XDG_DATA_HOME (only when absolute) and $XDG_DATA_DIRS as given: where desktop entries live.
    std::optional<std::string> dataHome;
    std::optional<std::string> dataDirs;
};

[[nodiscard]] Environment readEnvironment();

} // namespace quorvantile
