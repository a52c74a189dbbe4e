#include "QueryText.h"
#include "common/JsonDecode.h"

#include "common/Text.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <vector>

namespace quorvantile::query {
namespace {

constexpr std::size_t kBusiestInLine = 3;

[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...)
{
    std::array<char, 512> buffer {};
    va_list arguments;
    va_start(arguments, pattern);
    const int length = std::vsnprintf(buffer.data(), buffer.size(), pattern, arguments);
    va_end(arguments);
    if (length < 0) {
        return {};
    }
    return std::string(buffer.data(), std::min(static_cast<std::size_t>(length), buffer.size() - 1));
}

// Texts from the reply go to a terminal: no byte of them may start an escape sequence, even if a
// reply that skipped the companion's own checks held one.
std::string printable(std::string_view text)
{
    if (!text::containsControlCharacters(text)) {
        return std::string(text);
    }
    const std::string decoded = text::decodeUtf8Lossy(text);
    std::string shown;
    for (std::size_t index = 0; index < decoded.size(); ++index) {
        const auto byte = static_cast<unsigned char>(decoded[index]);
        const auto next = index + 1 < decoded.size() ? static_cast<unsigned char>(decoded[index + 1]) : 0U;
        if (byte < 0x20 || byte == 0x7f) {
            shown += '?';
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) { // U+0080 … U+009F
            shown += '?';
            ++index;
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator)
{
    std::string joined;
    for (const std::string& part : parts) {
        if (!joined.empty()) {
            joined += separator;
        }
        joined += part;
    }
    return joined;
}

// ---- Snapshot ---------------------------------------------------------------------------------

std::string sensorName(std::string_view key)
{
    if (key == "F0Ac") {
        return "Fan 1"; // the first fan, fan1 in hwmon
    }
    if (key == "F1Ac") {
        return "Fan 2";
    }
    if (key == "TB1T") {
        return "Battery";
    }
    if (key == "Tp01" || key == "Tp09") {
        return "Processor";
    }
    if (key == "Tg05") {
        return "Graphics";
    }
    return unitForKey(key) == SensorReading::Unit::rpm ? "Fan" : "Temperature";
}

std::string sensorValue(const SensorReading& reading)
{
    if (!reading.value) {
        return "no reading";
    }
    return reading.unit == SensorReading::Unit::rpm ? format("%6.0f rpm", *reading.value)
                                                    : format("%6.1f °C", *reading.value);
}

// Full charge in percent of design, rounded half up (in integers: no libm in a program started once
// per request).
std::optional<std::uint64_t> healthPercent(const BatteryCapacity& capacity)
{
    if (capacity.designMilliampHours == 0) {
        return std::nullopt;
    }
    // At most twice the design in a checked reply; bounded so that no reply overflows.
    const std::uint64_t full =
        std::min(capacity.fullChargeMilliampHours, std::numeric_limits<std::uint64_t>::max() / 200);
    return (full * 200 / capacity.designMilliampHours + 1) / 2;
}

std::string capacityText(const BatteryCapacity& capacity, Layout layout)
{
    const auto health = healthPercent(capacity);
    if (layout == Layout::line) {
        std::string text =
            format("%" PRIu64 "/%" PRIu64 " mAh", capacity.fullChargeMilliampHours, capacity.designMilliampHours);
        return health ? text + format(" (%" PRIu64 " %%)", *health) : text;
    }
    std::string text = format(
        "%6" PRIu64 " mAh of %" PRIu64 " mAh design", capacity.fullChargeMilliampHours, capacity.designMilliampHours);
    return health ? text + format(" (health %" PRIu64 " %%)", *health) : text;
}

// ---- Processes --------------------------------------------------------------------------------

// Like ps's START: the time of day for a process started today, else the date, else the year.
std::string startText(std::uint64_t startSeconds, std::int64_t nowSeconds)
{
    const auto start = static_cast<time_t>(
        std::min<std::uint64_t>(startSeconds, static_cast<std::uint64_t>(std::numeric_limits<time_t>::max())));
    const auto now = static_cast<time_t>(nowSeconds);
    tm started {};
    tm today {};
    if (localtime_r(&start, &started) == nullptr || localtime_r(&now, &today) == nullptr) {
        return "?";
    }
    const char* pattern = "%Y";
    if (started.tm_year == today.tm_year) {
        pattern = started.tm_yday == today.tm_yday ? "%H:%M" : "%b %d";
    }
    std::array<char, 32> buffer {};
    const std::size_t length = strftime(buffer.data(), buffer.size(), pattern, &started);
    return std::string(buffer.data(), length);
}

// The companion on Linux reports task times ("ticks") in nanoseconds.
std::uint64_t cpuNanoseconds(const ProcessInventoryReading& reading)
{
    const std::uint64_t total = reading.userTicks + reading.systemTicks;
    return total < reading.userTicks ? std::numeric_limits<std::uint64_t>::max() : total;
}

std::string incompleteNote(std::string_view what) { return std::string(what) + '\n'; }

std::string detailFigures(const ProcessDetailReading& reading, Layout layout)
{
    const auto bytes = [](const std::optional<std::uint64_t>& value) {
        return value ? humanBytes(*value) : std::string("-");
    };
    if (layout == Layout::line) {
        std::vector<std::string> parts;
        if (reading.physicalFootprint) {
            parts.push_back(humanBytes(*reading.physicalFootprint) + " footprint");
        }
        if (reading.diskReadBytes) {
            parts.push_back(humanBytes(*reading.diskReadBytes) + " read");
        }
        if (reading.diskWriteBytes) {
            parts.push_back(humanBytes(*reading.diskWriteBytes) + " written");
        }
        if (reading.threads) {
            parts.push_back(format("%" PRId32 " thread%s", *reading.threads, *reading.threads == 1 ? "" : "s"));
        }
        return join(parts, ", ");
    }
    std::string executable = "-";
    if (reading.executableUUID) {
        const bool none = std::all_of(
            reading.executableUUID->begin(), reading.executableUUID->end(), [](char digit) { return digit == '0'; });
        executable = none ? "none" : printable(*reading.executableUUID);
    }
    return format("%9s  %7s  %7s  %7s  %s", bytes(reading.physicalFootprint).c_str(),
        bytes(reading.diskReadBytes).c_str(), bytes(reading.diskWriteBytes).c_str(),
        reading.threads ? std::to_string(*reading.threads).c_str() : "-", executable.c_str());
}

bool hasDetails(const ProcessDetailReading& reading)
{
    return reading.startAbsolute || reading.executableUUID || reading.physicalFootprint || reading.diskReadBytes ||
        reading.diskWriteBytes || reading.threads;
}

} // namespace

std::string humanBytes(std::uint64_t bytes)
{
    constexpr double kStep = 1024.0;
    if (bytes < 1024) {
        return format("%" PRIu64 "B", bytes);
    }
    constexpr std::string_view units = "KMGTPE";
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    value /= kStep;
    // 1023.5K and above would print as "1024K": show the next unit.
    while (value >= kStep - 0.5 && unit + 1 < units.size()) {
        value /= kStep;
        ++unit;
    }
    if (value < 9.95) {
        return format("%.1f%c", value, units[unit]);
    }
    return format("%.0f%c", value, units[unit]);
}

std::string cpuTime(std::uint64_t nanoseconds)
{
    const std::uint64_t hundredths = nanoseconds / 10'000'000 % 100;
    const std::uint64_t seconds = nanoseconds / 1'000'000'000;
    if (seconds < 3600) {
        return format("%" PRIu64 ":%02" PRIu64 ".%02" PRIu64, seconds / 60, seconds % 60, hundredths);
    }
    if (seconds < 86400) {
        return format("%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, seconds / 3600, seconds / 60 % 60, seconds % 60);
    }
    return format("%" PRIu64 "-%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64, seconds / 86400, seconds / 3600 % 24,
        seconds / 60 % 60, seconds % 60);
}

std::string snapshotText(const SensorSnapshot& snapshot, Layout layout)
{
    if (layout == Layout::line) {
        std::vector<std::string> parts;
        for (const SensorReading& reading : snapshot.readings) {
            std::string value = sensorValue(reading);
            value.erase(0, value.find_first_not_of(' '));
            parts.push_back(sensorName(reading.key) + ' ' + value);
        }
        if (parts.empty()) {
            parts.emplace_back("no sensor readings");
        }
        parts.push_back("battery capacity " +
            (snapshot.batteryCapacity ? capacityText(*snapshot.batteryCapacity, layout) : std::string("unknown")));
        return join(parts, ", ");
    }
    std::string text = printable(snapshot.model) + '\n';
    for (const SensorReading& reading : snapshot.readings) {
        const std::string name = sensorName(reading.key) + " (" + printable(reading.key) + ")";
        text += format("%-20s %s\n", name.c_str(), sensorValue(reading).c_str());
    }
    if (snapshot.readings.empty()) {
        text += "No sensor readings\n";
    }
    text += format("%-20s %s\n", "Battery capacity",
        snapshot.batteryCapacity ? capacityText(*snapshot.batteryCapacity, layout).c_str()
                                 : "no internal battery reading");
    return text;
}

std::string accessoryBatteryText(const AccessoryBatterySnapshot& snapshot, Layout layout)
{
    const auto transportText = [](AccessoryBatteryReading::Transport transport) {
        switch (transport) {
        case AccessoryBatteryReading::Transport::bluetooth:
            return "Bluetooth";
        case AccessoryBatteryReading::Transport::bluetoothLowEnergy:
            return "Bluetooth LE";
        case AccessoryBatteryReading::Transport::usb:
            return "USB";
        }
        return "?";
    };
    // The reply carries a percent or nothing: an accessory that reports only a level has no percent.
    const auto charge = [](const AccessoryBatteryReading& reading) {
        return reading.percent ? format("%" PRId64 " %%", *reading.percent) : std::string("unknown");
    };
    if (layout == Layout::line) {
        std::vector<std::string> parts;
        for (const AccessoryBatteryReading& reading : snapshot.readings) {
            parts.push_back(printable(reading.name) + ' ' + charge(reading));
        }
        std::string line = parts.empty() ? "no accessory batteries" : join(parts, ", ");
        return snapshot.incomplete ? line + "; incomplete" : line;
    }
    std::string text;
    if (snapshot.readings.empty()) {
        text = "No accessory reports a battery.\n";
    } else {
        text = format("%-12s  %7s  %s\n", "TRANSPORT", "CHARGE", "NAME");
        for (const AccessoryBatteryReading& reading : snapshot.readings) {
            text += format("%-12s  %7s  %s\n", transportText(reading.transport), charge(reading).c_str(),
                printable(reading.name).c_str());
        }
    }
    if (snapshot.incomplete) {
        text += incompleteNote("Accessories with a battery may be missing: the companion could not read them all.");
    }
    return text;
}

std::string inventoryText(const ProcessInventorySnapshot& snapshot, Layout layout, std::int64_t nowSeconds)
{
    std::vector<const ProcessInventoryReading*> busiest;
    busiest.reserve(snapshot.readings.size());
    for (const ProcessInventoryReading& reading : snapshot.readings) {
        busiest.push_back(&reading);
    }
    std::stable_sort(busiest.begin(), busiest.end(),
        [](const auto* left, const auto* right) { return cpuNanoseconds(*left) > cpuNanoseconds(*right); });
    const std::string count = format("%zu process%s", busiest.size(), busiest.size() == 1 ? "" : "es");
    if (layout == Layout::line) {
        std::vector<std::string> parts;
        for (std::size_t index = 0; index < busiest.size() && index < kBusiestInLine; ++index) {
            parts.push_back(printable(busiest[index]->name) + ' ' + cpuTime(cpuNanoseconds(*busiest[index])));
        }
        std::string line = parts.empty() ? count : count + "; busiest: " + join(parts, ", ");
        return snapshot.incomplete ? line + "; incomplete" : line;
    }
    std::string text = format("%s of user %" PRIu32 "\n", count.c_str(), snapshot.uid);
    if (!busiest.empty()) {
        text += format("%7s  %-6s  %10s  %6s  %s\n", "PID", "START", "TIME", "RSS", "NAME");
    }
    for (const ProcessInventoryReading* reading : busiest) {
        text += format("%7" PRId32 "  %-6s  %10s  %6s  %s\n", reading->pid,
            startText(reading->startSeconds, nowSeconds).c_str(), cpuTime(cpuNanoseconds(*reading)).c_str(),
            humanBytes(reading->residentBytes).c_str(), printable(reading->name).c_str());
    }
    if (snapshot.incomplete) {
        text += incompleteNote("Some of your processes may be missing: the companion could not read them all.");
    }
    return text;
}

std::string processDetailText(const ProcessDetailSnapshot& snapshot, Layout layout, std::int64_t nowSeconds)
{
    constexpr const char* kNoDetails = "no details: the process has ended, its pid is another process's now, "
                                       "or it is not yours";
    if (layout == Layout::line) {
        std::vector<std::string> parts;
        for (const ProcessDetailReading& reading : snapshot.readings) {
            const std::string figures = detailFigures(reading, layout);
            parts.push_back(std::to_string(reading.request.pid) + ' ' +
                (hasDetails(reading) && !figures.empty() ? figures : std::string("no details")));
        }
        return parts.empty() ? std::string("no processes") : join(parts, "; ");
    }
    if (snapshot.readings.empty()) {
        return "No processes.\n";
    }
    std::string text = format("%7s  %-6s  %9s  %7s  %7s  %7s  %s\n", "PID", "START", "FOOTPRINT", "READ", "WRITTEN",
        "THREADS", "EXECUTABLE ID");
    for (const ProcessDetailReading& reading : snapshot.readings) {
        text += format("%7" PRId32 "  %-6s  %s\n", reading.request.pid,
            startText(reading.request.startSeconds, nowSeconds).c_str(),
            hasDetails(reading) ? detailFigures(reading, layout).c_str() : kNoDetails);
    }
    return text;
}

std::string quitText(const AppQuitResponse& response)
{
    const std::string application = printable(response.request.bundleIdentifier);
    const std::int32_t pid = response.request.process.pid;
    if (response.outcome == AppQuitResponse::Outcome::requested) {
        return format("Asked %s (pid %" PRId32 ") to quit.", application.c_str(), pid);
    }
    return format("Did not ask %s (pid %" PRId32 ") to quit: that process has ended or is not this application, "
                  "or the application may not be quit this way.",
        application.c_str(), pid);
}

std::optional<std::string> replyText(
    std::string_view request, std::string_view reply, Layout layout, std::int64_t nowSeconds)
{
    const auto lineEnd = [layout](const std::string& text) { return layout == Layout::line ? text : text + '\n'; };
    if (request == "snapshot") {
        const auto snapshot = json::decode<SensorSnapshot>(reply);
        return snapshot ? std::optional(snapshotText(*snapshot, layout)) : std::nullopt;
    }
    if (request == "battery") {
        const auto snapshot = json::decode<AccessoryBatterySnapshot>(reply);
        return snapshot ? std::optional(accessoryBatteryText(*snapshot, layout)) : std::nullopt;
    }
    if (request == "inventory") {
        const auto snapshot = json::decode<ProcessInventorySnapshot>(reply);
        return snapshot ? std::optional(inventoryText(*snapshot, layout, nowSeconds)) : std::nullopt;
    }
    if (request == "process") {
        const auto snapshot = json::decode<ProcessDetailSnapshot>(reply);
        return snapshot ? std::optional(processDetailText(*snapshot, layout, nowSeconds)) : std::nullopt;
    }
    if (request == "quit") {
        const auto response = json::decode<AppQuitResponse>(reply);
        return response ? std::optional(lineEnd(quitText(*response))) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace quorvantile::query
