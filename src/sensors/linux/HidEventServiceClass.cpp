#include "sensors/linux/HidEventServiceClass.h"

#include "sensors/linux/Sysfs.h"

#include <fcntl.h>

#include <algorithm>
#include <charconv>
#include <utility>

namespace quorvantile {
namespace {

// Bus numbers of HID_ID, as in <linux/input.h>.
constexpr std::uint32_t kHidBusUsb = 0x03;
constexpr std::uint32_t kHidBusBluetooth = 0x05;

// HID over GATT devices are created from user space through /dev/uhid, so they sit below it.
constexpr std::string_view kUhidDevicesPath = "/devices/virtual/misc/uhid/";

std::optional<std::uint32_t> parseHexadecimal(std::string_view text)
{
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc {} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> readUevent(const std::string& device)
{
    return sysfs::readAttribute(AT_FDCWD, device + "/device/uevent");
}

} // namespace

HidUevent parseHidUevent(std::string_view text)
{
    HidUevent uevent;
    bool busSeen = false;
    while (!text.empty()) {
        const std::size_t lineEnd = text.find('\n');
        const std::string_view line = text.substr(0, lineEnd);
        text.remove_prefix(lineEnd == std::string_view::npos ? text.size() : lineEnd + 1);

        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = line.substr(0, equals);
        const std::string_view value = line.substr(equals + 1);
        if (key == "HID_ID" && !busSeen) {
            busSeen = true;
            const std::size_t colon = value.find(':');
            if (colon != std::string_view::npos) {
                uevent.bus = parseHexadecimal(value.substr(0, colon));
            }
        } else if (key == "HID_NAME" && !uevent.name) {
            uevent.name = std::string(value);
        }
    }
    return uevent;
}

SysfsServiceClass::Verdict HidEventServiceClass::classify(const std::string& device) const
{
    const auto scope = sysfs::readKnownAttribute(device + "/scope");
    return {scope.text == "Device", scope.known};
}

std::optional<RegistryValue> HidEventServiceClass::property(const std::string& device, std::string_view name) const
{
    if (name == "BatteryPercent") {
        const std::string path = device + "/capacity";
        const auto capacity = sysfs::readAttribute(AT_FDCWD, path);
        if (!capacity) {
            // The kernel fails the read while it cannot ask the device: a battery of unknown charge.
            // Many wireless receivers report only a level ("Normal", "Low"): listed without a percent.
            if (sysfs::exists(path)) {
                return RegistryValue(std::string());
            }
            const std::string levelPath = device + "/capacity_level";
            const auto level = sysfs::readAttribute(AT_FDCWD, levelPath);
            if (level || sysfs::exists(levelPath)) {
                return RegistryValue(level.value_or(std::string()));
            }
            return std::nullopt;
        }
        if (const auto percent = sysfs::parseInteger(*capacity)) {
            return RegistryValue(*percent);
        }
        return RegistryValue(*capacity);
    }
    if (name == "Transport") {
        const auto uevent = readUevent(device);
        const auto bus = uevent ? parseHidUevent(*uevent).bus : std::nullopt;
        if (bus == kHidBusUsb) {
            return RegistryValue(std::string("USB"));
        }
        if (bus == kHidBusBluetooth) {
            const auto canonicalRoot = sysfs::canonicalPath(root());
            const bool underUhid = canonicalRoot && device.starts_with(*canonicalRoot + std::string(kUhidDevicesPath));
            return RegistryValue(std::string(underUhid ? "BluetoothLowEnergy" : "Bluetooth"));
        }
        return std::nullopt;
    }
    if (name == "Product") {
        // hid-input and the vendor drivers fill model_name with the device's name; HID_NAME is the
        // same name for drivers that leave it out. An empty name is passed on for the reader to refuse.
        const auto modelName = sysfs::readAttribute(AT_FDCWD, device + "/model_name");
        if (modelName && !modelName->empty()) {
            return RegistryValue(*modelName);
        }
        const auto uevent = readUevent(device);
        const auto hidName = uevent ? parseHidUevent(*uevent).name : std::nullopt;
        if (hidName && !hidName->empty()) {
            return RegistryValue(*hidName);
        }
        if (modelName || hidName) {
            return RegistryValue(std::string());
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace quorvantile
