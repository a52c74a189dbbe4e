#pragma once

#include "common/Environment.h"

#include <cstddef>
#include <memory>
#include <span>

namespace quorvantile {

// The processor brand string, asked for the way the platform's sysctl is: first for its length,
// then for its bytes.
class ProcessorBrand {
public:
    virtual ~ProcessorBrand() = default;
    // With an empty `buffer`: stores in `length` the bytes the brand string needs, its terminating
    // zero included. With a buffer: copies the brand string and its zero into it and stores the
    // bytes copied in `length`. Returns 0, or -1 when there is no brand string or the buffer is too
    // small.
    [[nodiscard]] virtual int read(std::span<char> buffer, std::size_t& length) = 0;
};

// The machine's brand string (on Linux from <proc>/cpuinfo, or the device tree on Apple silicon).
// An object may keep the brand once it has read it, as the processor does not change while the
// program runs; after a failure it reads again.
[[nodiscard]] std::unique_ptr<ProcessorBrand> systemProcessorBrand(const SystemRoots& roots);

} // namespace quorvantile
