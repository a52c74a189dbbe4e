#pragma once

#include "CompanionProcess.h"
#include "SetupTestSupport.h"

#include "setup/SensorCompanionProcess.h"
#include "setup/linux/ChildLaunch.h"
#include "setup/linux/PidfdChildLauncher.h"

#include <sys/stat.h>

#include <memory>
#include <sstream>
#include <vector>

namespace quorvantile::setup::testing {

// Small shell scripts standing in for the server child, each started by its own copy of the
// setup_script_child program. Each records its arguments in `<child>.arguments`, the argv[0] it was
// started with in `<child>.name` and its pid in `<child>.pid` before running `body`.
struct ChildScripts : quorvantile::testing::TemporaryDirectory {
    // The program to start: `name`, with its script beside it in `name.sh`.
    [[nodiscard]] std::string write(const std::string& name, const std::string& body) const
    {
        const auto path = *this / name;
        std::ofstream(path.string() + ".sh") << "printf '%s\\n' \"$#\" \"$@\" > \"${0%.sh}.arguments\"\n"
                                                "printf '%s\\n' \"$SCRIPT_CHILD_NAME\" > \"${0%.sh}.name\"\n"
                                                "echo $$ > \"${0%.sh}.pid\"\n"
                                             << body << "\n";
        std::filesystem::copy_file(quorvantile::testing::binary("setup_script_child"), path,
            std::filesystem::copy_options::overwrite_existing);
        ::chmod(path.c_str(), 0755);
        return path.string();
    }
};

// The launcher of the program at `path`, with this process's environment and `extra` variables
// added or replaced.
inline std::shared_ptr<ChildLauncher> launcherFor(
    const std::string& path, const std::map<std::string, std::string>& extra = {})
{
    auto environment = currentEnvironment();
    std::erase_if(
        environment, [&](const std::string& entry) { return extra.contains(entry.substr(0, entry.find('='))); });
    for (const auto& [name, value] : extra) {
        environment.push_back(name + "=" + value);
    }
    return pidfdChildLauncher(openExecutable(path), std::move(environment));
}

// The controller of the program at `path` over its launcher, started under its own path.
inline std::shared_ptr<SensorCompanionProcess> controllerFor(
    const std::string& path, const std::map<std::string, std::string>& extra = {})
{
    return std::make_shared<SensorCompanionProcess>(path, launcherFor(path, extra));
}

// The children of `parent`, whichever of its threads started them, ended but unreaped ones too.
inline std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task")) {
        std::istringstream pids(contents(task.path() / "children"));
        for (pid_t pid = 0; pids >> pid;) {
            children.push_back(pid);
        }
    }
    return children;
}

// A server's ready line, after which it waits for the end of its input.
inline constexpr const char* kReadyThenWaitForEndOfInput = R"(printf '{"ready":true}\n'; exec cat >/dev/null)";

} // namespace quorvantile::setup::testing
