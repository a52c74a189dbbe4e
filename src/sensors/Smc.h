#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The system management controller as the sensor reader sees it: one service whose user client
// answers an 80-byte parameter block through a struct method. The Linux implementation answers
// from hwmon and power_supply; tests use fakes.
namespace quorvantile {

// The parameter block, the same size in both directions, and where its fields lie. Multi-byte
// integers are little-endian.
inline constexpr std::size_t kSmcBlockBytes = 80;
inline constexpr std::size_t kSmcKeyOffset = 0; // the packed key
inline constexpr std::size_t kSmcDataSizeOffset = 28;
inline constexpr std::size_t kSmcDataTypeOffset = 32; // the packed type name
inline constexpr std::size_t kSmcResultOffset = 40; // one byte, 0 for success
inline constexpr std::size_t kSmcCommandOffset = 42; // one byte
inline constexpr std::size_t kSmcBytesOffset = 48;
inline constexpr std::uint32_t kSmcMaximumDataBytes = 32; // the data area from kSmcBytesOffset

// Keys and type names are four characters, packed into 32 bits.
inline constexpr std::size_t kSmcCodeBytes = 4;

// The struct method that exchanges the block, and the two commands that read.
inline constexpr std::uint32_t kSmcSelector = 2;
inline constexpr std::uint8_t kSmcReadKeyInformation = 9; // data size and type
inline constexpr std::uint8_t kSmcReadKeyBytes = 5;

// The status of a call with a bad selector or block size, as the platform's user clients answer it.
inline constexpr auto kSmcStatusBadArgument = static_cast<std::int32_t>(0xE00002C2U);

// An open user-client connection. Destroying it closes it.
class SmcConnection {
public:
    virtual ~SmcConnection() = default;
    // The struct method `selector` with `input`; writes at most `outputLength` bytes of `output`
    // (which is at least that long) and leaves the number written in `outputLength`. Returns 0 on
    // success, another status otherwise.
    [[nodiscard]] virtual std::int32_t callStructMethod(std::uint32_t selector, std::span<const std::uint8_t> input,
        std::span<std::uint8_t> output, std::size_t& outputLength) = 0;
};

// The SMC service. Destroying it releases it.
class SmcService {
public:
    virtual ~SmcService() = default;
    // Its registry entry id; absent when the platform cannot tell.
    [[nodiscard]] virtual std::optional<std::uint64_t> registryEntryID() const = 0;
    // A new user-client connection; null when it cannot be opened.
    [[nodiscard]] virtual std::unique_ptr<SmcConnection> open() = 0;
};

class Smc {
public:
    virtual ~Smc() = default;
    // The first SMC service; null when the machine has none.
    [[nodiscard]] virtual std::unique_ptr<SmcService> matchingService() = 0;
};

// The helpers both sides of the parameter block share.
namespace smc {

// Four characters folded into 32 bits, the first most significant ("FNum" is 0x464E756D); keys and
// type names alike.
[[nodiscard]] inline std::uint32_t packedCode(std::string_view text)
{
    std::uint32_t code = 0;
    for (const char character : text) {
        code = code << 8 | static_cast<std::uint8_t>(character);
    }
    return code;
}

// The four characters of a packed code, the first from the most significant byte.
[[nodiscard]] inline std::string codeText(std::uint32_t code)
{
    std::string text(kSmcCodeBytes, '\0');
    for (std::size_t index = 0; index < kSmcCodeBytes; ++index) {
        text[index] = static_cast<char>(code >> (8 * (kSmcCodeBytes - 1 - index)));
    }
    return text;
}

// The unsigned 32-bit little-endian integer at `offset`; absent when the four bytes are not all
// within `bytes`.
[[nodiscard]] inline std::optional<std::uint32_t> little32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    if (offset > bytes.size() || bytes.size() - offset < 4) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
        static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

// Stores `value` little-endian at `offset`, which leaves room for four bytes.
inline void putLittle32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value)
{
    for (std::size_t index = 0; index < 4; ++index) {
        bytes[offset + index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
}

} // namespace smc

// The machine's SMC (on Linux, over the sysfs tree at `sysfsRoot`).
[[nodiscard]] std::unique_ptr<Smc> systemSmc(const std::string& sysfsRoot);

} // namespace quorvantile
