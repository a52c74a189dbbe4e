#include "common/Environment.h"

#include <cstdlib>

namespace quorvantile {
namespace {

std::optional<std::string> variable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::optional<std::string>(value) : std::nullopt;
}

std::optional<std::string> absoluteVariable(const char* name)
{
    auto value = variable(name);
    return value && value->front() == '/' ? value : std::nullopt; // relative values are ignored
}

} // namespace

Environment readEnvironment()
{
    Environment environment;
    environment.roots.sysfs = variable("QUORVANTILE_SYSFS_ROOT").value_or(environment.roots.sysfs);
    environment.roots.proc = variable("QUORVANTILE_PROC_ROOT").value_or(environment.roots.proc);
    environment.roots.systemBus = variable("DBUS_SYSTEM_BUS_ADDRESS").value_or(environment.roots.systemBus);
    environment.runtimeDirectory = absoluteVariable("XDG_RUNTIME_DIR");
    environment.configHome = absoluteVariable("XDG_CONFIG_HOME");
    environment.stateHome = absoluteVariable("XDG_STATE_HOME");
    environment.home = absoluteVariable("HOME");
    environment.dataHome = absoluteVariable("XDG_DATA_HOME");
    environment.dataDirs = variable("XDG_DATA_DIRS");
    return environment;
}

} // namespace quorvantile
