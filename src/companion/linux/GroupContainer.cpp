#include "companion/GroupContainer.h"

#include "companion/PrivateDirectory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quorvantile {
namespace {

std::optional<std::string> homeDirectory(const Environment& environment)
{
    if (environment.home) {
        return environment.home;
    }
    const passwd* entry = getpwuid(geteuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::string(entry->pw_dir);
}

// The per-user runtime directory, else the per-user state directory. A runtime directory that
// others can reach is passed over: the socket must not sit where another user can replace it.
std::optional<std::string> baseDirectory(const Environment& environment)
{
    if (environment.runtimeDirectory && isPrivateDirectory(*environment.runtimeDirectory)) {
        return environment.runtimeDirectory;
    }
    const std::string userRuntime = "/run/user/" + std::to_string(geteuid());
    if (isPrivateDirectory(userRuntime)) {
        return userRuntime;
    }
    if (environment.stateHome) {
        return environment.stateHome;
    }
    if (auto home = homeDirectory(environment)) {
        return *home + "/.local/state";
    }
    return std::nullopt;
}

// mkdir -p with mode 0700 for what it creates.
bool makeDirectories(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return false;
    }
    return makeDirectories(path.substr(0, slash)) && (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST);
}

} // namespace

std::optional<std::string> groupContainer(const Environment& environment)
{
    const auto base = baseDirectory(environment);
    if (!base) {
        return std::nullopt;
    }
    std::string container = *base;
    if (container.back() != '/') {
        container += '/';
    }
    container += kApplicationGroup;
    // The server checks ownership and type itself; here only make sure it exists.
    if (!makeDirectories(container)) {
        return std::nullopt;
    }
    return container;
}

} // namespace quorvantile
