#pragma once

#include "CompanionProcess.h"
#include "SetupTestSupport.h"

#include "setup/linux/ChildLaunch.h"
#include "setup/linux/SystemSensorCompanionProcess.h"

#include <sys/stat.h>

#include <memory>

namespace quorvantile::setup::testing {

// Small shell scripts standing in for the server child, each started by its own copy of the
// setup_script_child program. Each records its arguments in `<child>.arguments` and its pid in
// `<child>.pid` before running `body`.
struct ChildScripts : quorvantile::testing::TemporaryDirectory {
    // The program to start: `name`, with its script beside it in `name.sh`.
    [[nodiscard]] std::string write(const std::string& name, const std::string& body) const
    {
        const auto path = *this / name;
        std::ofstream(path.string() + ".sh") << "printf '%s\\n' \"$#\" \"$@\" > \"${0%.sh}.arguments\"\n"
                                                "echo $$ > \"${0%.sh}.pid\"\n"
                                             << body << "\n";
        std::filesystem::copy_file(quorvantile::testing::binary("setup_script_child"), path,
            std::filesystem::copy_options::overwrite_existing);
        ::chmod(path.c_str(), 0755);
        return path.string();
    }
};

// The controller over the program at `path`, with this process's environment and `extra` variables
// added or replaced.
inline std::shared_ptr<SystemSensorCompanionProcess> controllerFor(
    const std::string& path, const std::map<std::string, std::string>& extra = {})
{
    auto environment = currentEnvironment();
    std::erase_if(
        environment, [&](const std::string& entry) { return extra.contains(entry.substr(0, entry.find('='))); });
    for (const auto& [name, value] : extra) {
        environment.push_back(name + "=" + value);
    }
    return std::make_shared<SystemSensorCompanionProcess>(openExecutable(path), path, std::move(environment));
}

// A server's ready line, after which it waits for the end of its input.
inline constexpr const char* kReadyThenWaitForEndOfInput = R"(printf '{"ready":true}\n'; exec cat >/dev/null)";

} // namespace quorvantile::setup::testing
