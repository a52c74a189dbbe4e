#pragma once

#include "sensors/Smc.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvantile {

// The parameter block as the platform's SMC user client declares it in memory, field by field (the
// same on arm64 and x86_64, both little-endian). The readers fill and read the block as bytes at the
// offsets of Smc.h; this structure states the same layout, and the compiler checks that the two
// agree.
struct SmcParameterBlock {
    struct Version {
        std::uint8_t major;
        std::uint8_t minor;
        std::uint8_t build;
        std::uint8_t reserved;
        std::uint16_t release;
    };
    struct PowerLimits {
        std::uint16_t version;
        std::uint16_t length;
        std::uint32_t processorLimit;
        std::uint32_t graphicsLimit;
        std::uint32_t memoryLimit;
    };
    struct KeyInformation {
        std::uint32_t dataSize;
        std::uint32_t dataType;
        std::uint8_t dataAttributes;
    };

    std::uint32_t key;
    Version version;
    PowerLimits powerLimits;
    KeyInformation keyInformation;
    std::uint8_t result;
    std::uint8_t status;
    std::uint8_t command;
    std::uint32_t data32;
    std::array<std::uint8_t, kSmcMaximumDataBytes> bytes;
};

static_assert(sizeof(SmcParameterBlock) == kSmcBlockBytes);
static_assert(offsetof(SmcParameterBlock, key) == kSmcKeyOffset);
static_assert(offsetof(SmcParameterBlock, keyInformation) + offsetof(SmcParameterBlock::KeyInformation, dataSize) ==
    kSmcDataSizeOffset);
static_assert(offsetof(SmcParameterBlock, keyInformation) + offsetof(SmcParameterBlock::KeyInformation, dataType) ==
    kSmcDataTypeOffset);
static_assert(offsetof(SmcParameterBlock, result) == kSmcResultOffset);
static_assert(offsetof(SmcParameterBlock, command) == kSmcCommandOffset);
static_assert(offsetof(SmcParameterBlock, bytes) == kSmcBytesOffset);

} // namespace quorvantile
