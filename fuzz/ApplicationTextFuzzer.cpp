// What the running-application lookup reads about any process of the user: its cgroup, the unit
// name in it, a Flatpak's .flatpak-info, cgroup.procs, and desktop entries.
#include "FuzzSupport.h"
#include "companion/AppQuitRequest.h"
#include "companion/linux/RunningApplicationText.h"

using namespace quorvantile;
using fuzzing::inside;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto text = fuzzing::text(data, size);
    if (const auto cgroup = applications::systemdCgroup(text)) {
        require(inside(cgroup->path, text), "the cgroup path points into the text");
    }
    if (const auto unit = applications::applicationUnit(text)) {
        require(inside(unit->unitPath, text) && unit->unitPath.data() == text.data(), "the unit path is a prefix");
        require(isBundleIdentifierText(unit->applicationID), "a safe application ID");
    }
    if (const auto id = applications::applicationIDFromUnit(text)) {
        require(isBundleIdentifierText(*id), "a safe application ID");
    }
    if (const auto name = applications::flatpakApplicationName(text)) {
        require(isBundleIdentifierText(*name), "a safe application name");
    }
    if (const auto pids = applications::parseProcessIDs(text)) {
        for (const auto pid : *pids) {
            require(pid >= 1, "process ids are positive");
        }
    }
    (void)applications::activationPolicy(applications::parseDesktopEntry(text));
    return 0;
}
