// The SMC through the "AppleSMC" service's user client: one struct method that exchanges the
// 80-byte parameter block.
#include "sensors/SmcParameterBlock.h"
#include "sensors/macos/IoObject.h"

#include <mach/mach.h>

#include <algorithm>

namespace quorvantile {
namespace {

// The block goes to the user client as it is laid out in memory.
static_assert(sizeof(SmcParameterBlock) == 80);

class AppleSmcConnection final : public SmcConnection {
public:
    explicit AppleSmcConnection(io_connect_t connection) noexcept : connection_(connection) { }
    ~AppleSmcConnection() override { IOServiceClose(connection_); }
    AppleSmcConnection(const AppleSmcConnection&) = delete;
    AppleSmcConnection& operator=(const AppleSmcConnection&) = delete;

    [[nodiscard]] std::int32_t callStructMethod(std::uint32_t selector, std::span<const std::uint8_t> input,
        std::span<std::uint8_t> output, std::size_t& outputLength) override
    {
        std::size_t length = std::min(outputLength, output.size());
        const kern_return_t status =
            IOConnectCallStructMethod(connection_, selector, input.data(), input.size(), output.data(), &length);
        outputLength = length;
        return status;
    }

private:
    io_connect_t connection_;
};

class AppleSmcService final : public SmcService {
public:
    explicit AppleSmcService(IoObject service) noexcept : service_(std::move(service)) { }

    [[nodiscard]] std::optional<std::uint64_t> registryEntryID() const override
    {
        return quorvantile::registryEntryID(service_.get());
    }

    [[nodiscard]] std::unique_ptr<SmcConnection> open() override
    {
        io_connect_t connection = IO_OBJECT_NULL;
        if (IOServiceOpen(service_.get(), mach_task_self(), 0, &connection) != KERN_SUCCESS) {
            return nullptr;
        }
        return std::make_unique<AppleSmcConnection>(connection);
    }

private:
    IoObject service_;
};

class AppleSmc final : public Smc {
public:
    [[nodiscard]] std::unique_ptr<SmcService> matchingService() override
    {
        // The matching dictionary is consumed by the call, on every path.
        IoObject service(IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC")));
        if (!service) {
            return nullptr;
        }
        return std::make_unique<AppleSmcService>(std::move(service));
    }
};

} // namespace

// The sysfs root is a Linux notion; the platform has one SMC.
std::unique_ptr<Smc> systemSmc(const std::string& /*sysfsRoot*/) { return std::make_unique<AppleSmc>(); }

} // namespace quorvantile
