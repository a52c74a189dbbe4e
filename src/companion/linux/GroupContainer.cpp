#include "companion/GroupContainer.h"

#include "companion/PrivateDirectory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quorvantile {
namespace {

std::optional<std::string> absoluteVariable(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return std::nullopt; // unset, empty or relative values are ignored, as XDG asks
    }
    return std::string(value);
}

std::optional<std::string> homeDirectory()
{
    if (auto home = absoluteVariable("HOME")) {
        return home;
    }
    const passwd* entry = getpwuid(geteuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::string(entry->pw_dir);
}

// The per-user runtime directory, else the per-user state directory. A runtime directory that
// others can reach is passed over: the socket must not sit where another user can replace it.
std::optional<std::string> baseDirectory()
{
    if (auto runtime = absoluteVariable("XDG_RUNTIME_DIR"); runtime && isPrivateDirectory(*runtime)) {
        return runtime;
    }
    const std::string userRuntime = "/run/user/" + std::to_string(geteuid());
    if (isPrivateDirectory(userRuntime)) {
        return userRuntime;
    }
    if (auto state = absoluteVariable("XDG_STATE_HOME")) {
        return state;
    }
    if (auto home = homeDirectory()) {
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

std::optional<std::string> groupContainer()
{
    const auto base = baseDirectory();
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

std::optional<std::string> companionSocketPath()
{
    auto container = groupContainer();
    if (!container) {
        return std::nullopt;
    }
    return *container + "/" + std::string(kSocketFileName);
}

} // namespace quorvantile
