#include "companion/SensorCompanion.h"

#include "companion/SetupModule.h"

#include <array>
#include <optional>
#include <string_view>

namespace quorvantile::SensorCompanion {
namespace {

enum class RunMode { setup, setupOnDemand, managedServer, onDemandServer, diagnostics, manualDiagnostics };

struct Option {
    std::string_view argument;
    RunMode mode;
};

constexpr std::array kOptions {
    Option {"--diagnostics", RunMode::diagnostics},
    Option {"--manual-diagnostics", RunMode::manualDiagnostics},
    Option {"--on-demand", RunMode::setupOnDemand},
    Option {"--managed-server", RunMode::managedServer},
    Option {"--on-demand-server", RunMode::onDemandServer},
};

// The whole argument list must be empty or exactly one known option.
std::optional<RunMode> runMode(int argc, const char* const* argv)
{
    if (argc <= 1 || argv == nullptr) {
        return RunMode::setup;
    }
    if (argc != 2 || argv[1] == nullptr) {
        return std::nullopt;
    }
    const std::string_view argument = argv[1];
    for (const Option& option : kOptions) {
        if (argument == option.argument) {
            return option.mode;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, const char* const* argv)
{
    const auto mode = runMode(argc, argv);
    if (!mode) {
        return kExitUsage;
    }
    switch (*mode) {
    case RunMode::managedServer:
        serve(/*logging=*/false, /*persistent=*/true, /*controlled=*/true);
        return kExitSuccess;
    case RunMode::onDemandServer:
        serve(/*logging=*/false, /*persistent=*/false, /*controlled=*/true);
        return kExitSuccess;
    case RunMode::diagnostics:
        // The activation policy and launch of the desktop platform have no counterpart here.
        serve(/*logging=*/true, /*persistent=*/false, /*controlled=*/false);
        return kExitSuccess;
    case RunMode::manualDiagnostics:
        serve(/*logging=*/true, /*persistent=*/true, /*controlled=*/false);
        return kExitSuccess;
    case RunMode::setup:
        return runSetupApplication(/*onDemand=*/false);
    case RunMode::setupOnDemand:
        return runSetupApplication(/*onDemand=*/true);
    }
    return kExitUsage;
}

} // namespace quorvantile::SensorCompanion
