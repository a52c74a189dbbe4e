// The user defaults through the platform's standard defaults object. Its values are CoreFoundation
// property-list objects, mapped to and from JSON by the portable DefaultsValue.
#include "setup/macos/UserDefaultsStore.h"

#include "common/macos/CfPropertyValue.h"
#include "common/macos/CfText.h"
#include "setup/DefaultsValue.h"

#import <Foundation/Foundation.h>

#include <cerrno>
#include <string>

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

    // What can be refused is refused before the value is handed over: a value the administrator's
    // profile fixes (it would be taken and never read back), or one with no property-list form. The
    // defaults object takes the value without a word of failure, so the application's defaults are
    // then written out, whose result says whether they were saved. It is a bare yes or no, and a
    // failure the preferences system meets after it answered (a disk that fills later) is not seen.
    Outcome setValue(std::string_view key, const json::Json& value) override
    {
        @autoreleasepool {
            const auto name = cfString(key);
            if (!name) {
                return ParseError {"the key is not UTF-8 text"};
            }
            const auto scalar = storableDefault(value);
            if (!scalar) {
                return ParseError {std::string("a JSON ") + value.type_name() +
                    " cannot be stored as a user default (a Boolean, a signed 64-bit integer, a floating "
                    "number or a text can)"};
            }
            const auto object = propertyListObject(*scalar);
            if (!object) {
                if (std::holds_alternative<std::string>(*scalar)) {
                    return ParseError {"the value is not UTF-8 text"};
                }
                return SetupError::system("CFNumberCreate", ENOMEM);
            }
            NSUserDefaults* defaults = NSUserDefaults.standardUserDefaults;
            NSString* const keyName = (__bridge NSString*)name.get();
            if ([defaults objectIsForcedForKey:keyName]) {
                return PlatformError {"This setting is fixed by a configuration profile and cannot be changed."};
            }
            [defaults setObject:(__bridge id)object.get() forKey:keyName];
            if (!CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication)) {
                return PlatformError {"The setting could not be saved to the user defaults."};
            }
            return {};
        }
    }
};

} // namespace

std::shared_ptr<DefaultsStore> userDefaultsStore() { return std::make_shared<UserDefaultsStore>(); }

} // namespace quorvantile::setup
