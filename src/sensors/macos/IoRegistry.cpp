// The I/O registry: the services of a class, their entry ids, and their properties mapped to the
// readers' value variant.
#include "common/macos/CfPropertyValue.h"
#include "common/macos/CfText.h"
#include "sensors/RegistryPropertyValue.h"
#include "sensors/SystemRegistry.h"
#include "sensors/macos/IoObject.h"

namespace quorvantile {
namespace {

class IoRegistryEntry final : public RegistryEntry {
public:
    explicit IoRegistryEntry(IoObject service) noexcept : service_(std::move(service)) { }

    [[nodiscard]] std::optional<std::uint64_t> registryEntryID() const override
    {
        return quorvantile::registryEntryID(service_.get());
    }

    [[nodiscard]] std::optional<RegistryValue> property(std::string_view name) const override
    {
        const auto key = cfString(name);
        if (!key) {
            return std::nullopt;
        }
        const CfObject<CFTypeRef> value(
            IORegistryEntryCreateCFProperty(service_.get(), key.get(), kCFAllocatorDefault, 0));
        if (!value) {
            return std::nullopt;
        }
        return registryValue(CfPropertyValue(value.get()));
    }

private:
    IoObject service_;
};

class IoRegistryIterator final : public RegistryIterator {
public:
    explicit IoRegistryIterator(IoObject iterator) noexcept : iterator_(std::move(iterator)) { }

    [[nodiscard]] std::unique_ptr<RegistryEntry> next() override
    {
        IoObject service(IOIteratorNext(iterator_.get()));
        if (!service) {
            return nullptr;
        }
        return std::make_unique<IoRegistryEntry>(std::move(service));
    }

    [[nodiscard]] bool isValid() const override { return IOIteratorIsValid(iterator_.get()) != 0; }

private:
    IoObject iterator_;
};

class IoRegistry final : public Registry {
public:
    [[nodiscard]] std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) override
    {
        const std::string name(className);
        if (name.find('\0') != std::string::npos) {
            return nullptr;
        }
        // The matching dictionary is consumed by the call, on every path.
        io_iterator_t iterator = IO_OBJECT_NULL;
        if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching(name.c_str()), &iterator) !=
            KERN_SUCCESS) {
            return nullptr;
        }
        IoObject owned(iterator);
        if (!owned) {
            return nullptr;
        }
        return std::make_unique<IoRegistryIterator>(std::move(owned));
    }
};

} // namespace

// The sysfs root is a Linux notion; the platform has one registry.
std::unique_ptr<Registry> systemRegistry(const std::string& /*sysfsRoot*/) { return std::make_unique<IoRegistry>(); }

// Accessories are services of the same registry here, with no bus to ask: the registry answers from
// the kernel at once, so there is nothing for the deadline to bound.
std::unique_ptr<Registry> systemRegistry(const SystemRoots& /*roots*/, double /*deadline*/, const Clock& /*clock*/)
{
    return std::make_unique<IoRegistry>();
}

} // namespace quorvantile
