#pragma once

#include "companion/AppQuitRequest.h"
#include "processes/ProcessDetailSnapshot.h"
#include "processes/ProcessInventorySnapshot.h"
#include "sensors/AccessoryBatterySnapshot.h"
#include "sensors/SensorSnapshot.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The query tool's text for people: pure functions from a decoded reply to text. Times of day are
// shown in the local time zone (TZ); `nowSeconds` is the wall-clock time that decides between a
// time of day and a date.
namespace quorvantile::query {

enum class Layout {
    table, // several lines, each ending in a line feed
    line, // one line without a line feed, for logs and pipes
};

[[nodiscard]] std::string snapshotText(const SensorSnapshot& snapshot, Layout layout);
[[nodiscard]] std::string accessoryBatteryText(const AccessoryBatterySnapshot& snapshot, Layout layout);
// Sorted by CPU time, the busiest first, like ps and top.
[[nodiscard]] std::string inventoryText(
    const ProcessInventorySnapshot& snapshot, Layout layout, std::int64_t nowSeconds);
[[nodiscard]] std::string processDetailText(
    const ProcessDetailSnapshot& snapshot, Layout layout, std::int64_t nowSeconds);
[[nodiscard]] std::string quitText(const AppQuitResponse& response); // one sentence

// The text of `reply` to the request named `request` ("snapshot", "battery", "inventory", "process",
// "quit"); absent when the reply does not decode as that request's record.
[[nodiscard]] std::optional<std::string> replyText(
    std::string_view request, std::string_view reply, Layout layout, std::int64_t nowSeconds);

// Sizes as ls -h and top show them: "512B", "4.0K", "12M", "1.5G" (powers of 1024).
[[nodiscard]] std::string humanBytes(std::uint64_t bytes);
// CPU time: "M:SS.hh" below an hour, "H:MM:SS" below a day, "D-HH:MM:SS" beyond.
[[nodiscard]] std::string cpuTime(std::uint64_t nanoseconds);

} // namespace quorvantile::query
