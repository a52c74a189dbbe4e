#pragma once

#include <cstddef>

// The bounds of the process readers, in one place.
namespace quorvantile {

// Slots of the process-id buffer filled once per inventory (4 bytes each, so 16,384 bytes).
inline constexpr std::size_t kProcessIdSlots = 4096;

// The inventory stops reading processes once this much uptime has passed since it began.
inline constexpr double kInventoryBudgetSeconds = 0.5;

// The inventory reads processes on at most this many threads (the calling one included), and on the
// calling thread alone when fewer processes are listed than kMinimumProcessesForThreads: below that
// a thread costs more than it saves.
inline constexpr std::size_t kMaximumInventoryThreads = 4;
inline constexpr std::size_t kMinimumProcessesForThreads = 64;

// A server lets go of what its inventory keeps open between calls once none was asked for this long
// (the parent asks about once a second while its process view is open).
inline constexpr double kInventoryRestSeconds = 5.0;

// Readings kept in one inventory; the rest are cut by resident size.
inline constexpr std::size_t kMaximumInventoryReadings = 512;

// A detail request body and the number of processes it may name.
inline constexpr std::size_t kMaximumDetailRequestBodyBytes = 2048;
inline constexpr std::size_t kMaximumDetailRequests = 8;

} // namespace quorvantile
