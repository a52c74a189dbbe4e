// The user defaults through the platform's standard defaults object. Its values are CoreFoundation
// property-list objects, mapped to and from JSON by the portable DefaultsValue.
#include "setup/macos/UserDefaultsStore.h"

#include "common/macos/CfPropertyValue.h"
#include "common/macos/CfText.h"
#include "setup/DefaultsValue.h"

#import <Foundation/Foundation.h>

namespace quorvantile::setup {
namespace {

// The property-list object of a storable scalar.
CfObject<CFTypeRef> propertyListObject(const DefaultsScalar& scalar)
{
    return std::visit(
        [](const auto& held) -> CfObject<CFTypeRef> {
            using Held = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, bool>) {
                return CfObject<CFTypeRef>(CFRetain(held ? kCFBooleanTrue : kCFBooleanFalse));
            } else if constexpr (std::is_same_v<Held, std::int64_t>) {
                const SInt64 number = held;
                return CfObject<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &number));
            } else if constexpr (std::is_same_v<Held, double>) {
                const Float64 number = held;
                return CfObject<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &number));
            } else {
                return CfObject<CFTypeRef>(cfString(held).release());
            }
        },
        scalar);
}

class UserDefaultsStore final : public DefaultsStore {
public:
    [[nodiscard]] std::optional<json::Json> value(std::string_view key) const override
    {
        @autoreleasepool {
            const auto name = cfString(key);
            if (!name) {
                return std::nullopt;
            }
            id stored = [NSUserDefaults.standardUserDefaults objectForKey:(__bridge NSString*)name.get()];
            if (stored == nil) {
                return std::nullopt;
            }
            return defaultsValue(CfPropertyValue((__bridge CFTypeRef)stored));
        }
    }

    bool setValue(std::string_view key, const json::Json& value) override
    {
        @autoreleasepool {
            const auto name = cfString(key);
            const auto scalar = storableDefault(value);
            const auto object = scalar ? propertyListObject(*scalar) : CfObject<CFTypeRef>();
            if (!name || !object) {
                return false;
            }
            [NSUserDefaults.standardUserDefaults setObject:(__bridge id)object.get()
                                                    forKey:(__bridge NSString*)name.get()];
            return true;
        }
    }
};

} // namespace

std::shared_ptr<DefaultsStore> userDefaultsStore() { return std::make_shared<UserDefaultsStore>(); }

} // namespace quorvantile::setup
