#include "companion/AppQuitHandler.h"

namespace quorvantile::AppQuitHandler {
namespace {

bool sameProcess(const AppQuitProcessIdentity& identity, const ProcessDetailRequest& process)
{
    return identity.pid == process.pid && identity.startSeconds == process.startSeconds &&
        identity.startMicroseconds == process.startMicroseconds;
}

} // namespace

bool request(const AppQuitRequest& request, AppQuitOperatingSystem& system, const std::stop_token& cancellation)
{
    const std::int32_t pid = request.process.pid;
    if (!request.isValid() || pid == system.currentProcessIdentifier() || cancellation.stop_requested()) {
        return false;
    }
    // The identity is read before and after the application checks: a process that ended and whose
    // pid was reused in between fails one of the two comparisons.
    const auto first = system.process(pid);
    if (!first || !sameProcess(*first, request.process) || first->uid != system.effectiveUserIdentifier()) {
        return false;
    }
    const auto application = system.runningApplication(pid);
    if (!application || application->processIdentifier() != pid) {
        return false;
    }
    if (application->bundleIdentifier() != request.bundleIdentifier ||
        application->activationPolicy() != ActivationPolicy::regular || application->isTerminated()) {
        return false;
    }
    const auto second = system.process(pid);
    if (second != first || cancellation.stop_requested()) {
        return false;
    }
    return application->terminate();
}

} // namespace quorvantile::AppQuitHandler
