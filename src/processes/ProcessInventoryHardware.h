#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "common/Result.h"
#include "processes/ProcessInventorySnapshot.h"
#include "processes/ProcessTable.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

// Reads the inventory of the current user's processes.
namespace quorvantile::ProcessInventoryHardware {

// Lists the processes of the effective user once and reads each, within the bounds of
// ProcessLimits.h; `preferredPID`'s reading survives the cut to the reading limit whatever its size.
// Absent when the list cannot be read or the finished snapshot is not valid.
//
// With `threads` above 1 and enough processes listed, the reads are shared among that many threads
// (this one included, within kMaximumInventoryThreads), each on its own view of `table` and all
// reading `clock`; they exist only inside the call. When the table's listing tells how far it has
// got, the other threads begin on the first processes while this one lists the rest. Each thread
// checks the budget before every process it takes, and the result is built in pid order as one
// thread would build it.
[[nodiscard]] Result<ProcessInventorySnapshot> snapshot(
    std::int32_t preferredPID, ProcessTable& table, const Clock& clock, std::size_t threads = 1);

// The same over the system's process table below `roots` and the system clock, on as many threads as
// there are online processors.
[[nodiscard]] Result<ProcessInventorySnapshot> snapshot(std::int32_t preferredPID, const SystemRoots& roots = {});

// A server's inventory over the system's process table: its tables hand the processes' open files
// on from one inventory to the next, and let go of them once inventories stop. For one thread.
class SystemInventory {
public:
    explicit SystemInventory(const SystemRoots& roots);
    [[nodiscard]] Result<ProcessInventorySnapshot> snapshot(std::int32_t preferredPID);
    // At uptime `now`: lets go of the kept files once no inventory was taken for
    // kInventoryRestSeconds. Returns the uptime at which to call it again, infinity when nothing is kept.
    double rest(double now);

private:
    std::unique_ptr<ProcessTables> tables_;
    std::optional<double> lastTaken_;
};

} // namespace quorvantile::ProcessInventoryHardware
