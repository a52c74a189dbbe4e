#include "companion/AppQuitHandler.h"

namespace quorvantile::AppQuitHandler {
namespace {

bool isCancelled(const std::function<bool()>& cancelled) { return cancelled && cancelled(); }

bool sameProcess(const AppQuitProcessIdentity& identity, const ProcessDetailRequest& process)
{
    return identity.pid == process.pid && identity.startSeconds == process.startSeconds &&
        identity.startMicroseconds == process.startMicroseconds;
}

} // namespace

bool request(const AppQuitRequest& request, AppQuitOperatingSystem& system, std::int32_t requester,
    const std::function<bool()>& cancelled)
{
    const std::int32_t pid = request.process.pid;
    // On Linux an application's identifier comes from how it was launched, so the processes that keep
    // this one running and the one asking are protected by their pids, whatever they are called.
    if (!request.isValid() || pid == system.currentProcessIdentifier() || pid == system.parentProcessIdentifier() ||
        requester < 1 || pid == requester || isCancelled(cancelled)) {
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
    if (second != first || isCancelled(cancelled)) {
        return false;
    }
    return application->terminate();
}

} // namespace quorvantile::AppQuitHandler
