#pragma once

#include "companion/StatusReporter.h"

// The process entry and the server of the companion.
namespace quorvantile::SensorCompanion {

// Exit statuses of the process.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Reads the command line, picks the run mode and runs it; returns the process's exit status.
// An unknown command line returns 2 before anything is written to any stream.
[[nodiscard]] int main(int argc, const char* const* argv);

// Runs the socket server on the calling thread until it decides to stop, over the system ports
// the environment configures; returns the exit status (0, or 1 for a start-up failure or a failed
// status line). With `logging`, a failure's reason goes to standard error as one line.
[[nodiscard]] int serve(bool logging, bool persistent, bool controlled);

// Writes one status line to standard output when `enabled`; false when it could not be written
// (the caller then ends with status 1).
[[nodiscard]] bool report(const StatusLine& values, bool enabled);

} // namespace quorvantile::SensorCompanion
