#include "companion/SensorCompanion.h"

#include "common/Environment.h"
#include "companion/Server.h"
#include "companion/SetupModule.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <optional>
#include <string>
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
        return serve(/*logging=*/false, /*persistent=*/true, /*controlled=*/true);
    case RunMode::onDemandServer:
        return serve(/*logging=*/false, /*persistent=*/false, /*controlled=*/true);
    case RunMode::diagnostics:
        // The activation policy and launch of the desktop platform have no counterpart here.
        return serve(/*logging=*/true, /*persistent=*/false, /*controlled=*/false);
    case RunMode::manualDiagnostics:
        return serve(/*logging=*/true, /*persistent=*/true, /*controlled=*/false);
    case RunMode::setup:
        return runSetupApplication(/*onDemand=*/false);
    case RunMode::setupOnDemand:
        return runSetupApplication(/*onDemand=*/true);
    }
    return kExitUsage;
}

int serve(bool logging, bool persistent, bool controlled)
{
    // A client that goes away mid-reply must cost an error on send, never the process.
    std::signal(SIGPIPE, SIG_IGN);
    const ServerOutcome outcome =
        runServer(ServeFlags {logging, persistent, controlled}, systemServerPorts(readEnvironment()));
    return outcome.succeeded() ? kExitSuccess : kExitFailure;
}

bool report(const StatusLine& values, bool enabled) { return StatusReporter(STDOUT_FILENO, enabled).report(values); }

} // namespace quorvantile::SensorCompanion
