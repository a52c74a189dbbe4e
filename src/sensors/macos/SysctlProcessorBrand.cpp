// The processor brand string from sysctl, asked for its length first and then for its bytes.
#include "sensors/ProcessorBrand.h"

#include <sys/sysctl.h>

namespace quorvantile {
namespace {

constexpr const char* kBrandName = "machdep.cpu.brand_string";

class SysctlProcessorBrand final : public ProcessorBrand {
public:
    [[nodiscard]] int read(std::span<char> buffer, std::size_t& length) override
    {
        length = buffer.size();
        return sysctlbyname(kBrandName, buffer.empty() ? nullptr : buffer.data(), &length, nullptr, 0) == 0 ? 0 : -1;
    }
};

} // namespace

std::unique_ptr<ProcessorBrand> systemProcessorBrand(const SystemRoots& /*roots*/)
{
    return std::make_unique<SysctlProcessorBrand>();
}

} // namespace quorvantile
