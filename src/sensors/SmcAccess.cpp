#include "sensors/SensorHardware.h"
#include "sensors/SensorLimits.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

namespace quorvantile::SensorHardware {
namespace {

// The type name of a packed type code, first character from the most significant byte; absent
// when a byte is not ASCII.
std::optional<std::string> typeName(std::uint32_t code)
{
    std::string name = smc::codeText(code);
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7F; })) {
        return std::nullopt;
    }
    return name;
}

std::optional<double> convert(std::span<const std::uint8_t> data, std::string_view type)
{
    if (type == "ui8 " && data.size() == 1) {
        return data[0];
    }
    if (type == "flt " && data.size() == 4) {
        return static_cast<double>(std::bit_cast<float>(little32(data, 0).value_or(0)));
    }
    if (type == "sp78" && data.size() == 2) {
        const auto raw = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[0] << 8 | data[1]));
        return raw / 256.0;
    }
    if (type == "fpe2" && data.size() == 2) {
        const auto raw = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
        return raw / 4.0;
    }
    return std::nullopt;
}

bool accepts(std::string_view key, std::string_view type, double value)
{
    if (key == "FNum") {
        return type == "ui8 " && value <= kMaximumFanCount;
    }
    if (key == "F0Ac" || key == "F1Ac") {
        return (type == "flt " || type == "fpe2") && value >= kMinimumFanRpm && value <= kMaximumFanRpm;
    }
    return (type == "flt " || type == "sp78") && value >= kMinimumTemperatureCelsius &&
        value <= kMaximumTemperatureCelsius;
}

bool succeeded(const SmcExchange& answer)
{
    return answer.status == 0 && answer.outputLength == static_cast<std::int64_t>(kSmcBlockBytes) &&
        answer.output[kSmcResultOffset] == 0;
}

} // namespace

SmcExchange exchange(SmcConnection& connection, std::string_view key, std::uint8_t command, std::uint32_t size)
{
    SmcExchange answer;
    const bool allowedKey = std::find(kAllowedSmcKeys.begin(), kAllowedSmcKeys.end(), key) != kAllowedSmcKeys.end();
    const bool readCommand = command == kSmcReadKeyInformation || command == kSmcReadKeyBytes;
    if (!allowedKey || !readCommand || size > kSmcMaximumDataBytes) {
        answer.status = kSmcStatusBadArgument; // never reaches the SMC: nothing here can write to it
        return answer;
    }
    std::array<std::uint8_t, kSmcBlockBytes> input {};
    smc::putLittle32(input, kSmcKeyOffset, packedCode(key));
    smc::putLittle32(input, kSmcDataSizeOffset, size);
    input[kSmcCommandOffset] = command;
    std::size_t outputLength = kSmcBlockBytes;
    answer.status = connection.callStructMethod(kSmcSelector, input, answer.output, outputLength);
    answer.outputLength = outputLength > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())
        ? -1
        : static_cast<std::int64_t>(outputLength);
    return answer;
}

std::optional<double> number(std::span<const std::uint8_t> data, std::string_view type, std::string_view key)
{
    const auto value = convert(data, type);
    if (!value || !std::isfinite(*value) || !accepts(key, type, *value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> read(SmcConnection& connection, std::string_view key)
{
    const SmcExchange information = exchange(connection, key, kSmcReadKeyInformation, 0);
    if (!succeeded(information)) {
        return std::nullopt;
    }
    const auto size = little32(information.output, kSmcDataSizeOffset);
    const auto code = little32(information.output, kSmcDataTypeOffset);
    const auto type = code ? typeName(*code) : std::nullopt;
    if (!size || !type || *size == 0 || *size > kSmcMaximumDataBytes) {
        return std::nullopt;
    }
    const SmcExchange bytes = exchange(connection, key, kSmcReadKeyBytes, *size);
    if (!succeeded(bytes)) {
        return std::nullopt;
    }
    return number(std::span(bytes.output).subspan(kSmcBytesOffset, *size), *type, key);
}

} // namespace quorvantile::SensorHardware
