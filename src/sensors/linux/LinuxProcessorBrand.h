#pragma once

#include "sensors/ProcessorBrand.h"

#include <optional>
#include <string>
#include <string_view>

namespace quorvantile {

// The brand string on Linux: the first "model name" of /proc/cpuinfo (x86); where there is none,
// the SoC named by the device tree's `compatible` on Apple silicon. Kept once read.
class LinuxProcessorBrand final : public ProcessorBrand {
public:
    LinuxProcessorBrand(std::string procRoot, std::string sysfsRoot);
    [[nodiscard]] int read(std::span<char> buffer, std::size_t& length) override;

private:
    const std::optional<std::string>& brand();

    std::string procRoot_;
    std::string sysfsRoot_;
    std::optional<std::string> brand_;
};

// Pure parts, tested on literal text.
namespace processorbrand {

// The value of the first "model name" line; absent without one.
[[nodiscard]] std::optional<std::string> cpuinfoModelName(std::string_view cpuinfo);

// The brand of an Apple SoC in a `compatible` list (entries separated by zero bytes), such as
// "Apple M1 Pro" for "apple,t6000"; absent for any other machine.
[[nodiscard]] std::optional<std::string> appleSiliconBrand(std::string_view compatible);

} // namespace processorbrand

} // namespace quorvantile
