// The login item through ServiceManagement's main-application service, reached through the
// Objective-C runtime (see AppServiceDeclarations.h).
#include "setup/macos/SystemSensorCompanionLogin.h"

#include "common/macos/CfText.h"
#include "setup/AppServiceStatus.h"
#include "setup/Completion.h"
#include "setup/macos/AppServiceDeclarations.h"

namespace quorvantile::setup {
namespace {

// The class, when ServiceManagement is loaded and has it with the members used here.
Class<QuorvantileAppServiceClass> appServiceClass()
{
    Class found = NSClassFromString(@"SMAppService");
    if (found == Nil || ![found respondsToSelector:@selector(mainAppService)] ||
        ![found respondsToSelector:@selector(openSystemSettingsLoginItems)]) {
        return Nil;
    }
    return (Class<QuorvantileAppServiceClass>)found;
}

// The platform's description of `error`, unchanged.
PlatformError platformError(NSError* error)
{
    const auto description = utf8Text((__bridge CFStringRef)error.localizedDescription);
    return PlatformError {description.value_or("")};
}

PlatformError missingService() { return PlatformError {"The login item service is not available."}; }

class AppServiceLogin final : public SensorCompanionLoginControlling {
public:
    [[nodiscard]] LoginItemStatus status() const override
    {
        @autoreleasepool {
            const auto service = appServiceClass();
            if (service == Nil) {
                return LoginItemStatus::notFound;
            }
            return loginItemStatus(static_cast<std::int64_t>([service mainAppService].status));
        }
    }

    Task<Outcome> setEnabled(bool enabled) override
    {
        if (enabled) {
            co_return registerMainApp();
        }
        // Resumes where the platform calls the handler, on any thread; the caller moves on from there.
        co_return co_await completion<Outcome>([](const Completion<Outcome>::Complete& complete) {
            @autoreleasepool {
                const auto service = appServiceClass();
                if (service == Nil) {
                    complete(missingService());
                    return;
                }
                [[service mainAppService] unregisterWithCompletionHandler:^(
                    NSError* _Nullable error) { complete(error != nil ? Outcome(platformError(error)) : Outcome()); }];
            }
        });
    }

    void openSettings() override
    {
        @autoreleasepool {
            if (const auto service = appServiceClass(); service != Nil) {
                [service openSystemSettingsLoginItems];
            }
        }
    }

private:
    static Outcome registerMainApp()
    {
        @autoreleasepool {
            const auto service = appServiceClass();
            if (service == Nil) {
                return missingService();
            }
            NSError* error = nil;
            if (![[service mainAppService] registerAndReturnError:&error]) {
                return error != nil ? platformError(error) : PlatformError {"The login item was not registered."};
            }
            return {};
        }
    }
};

} // namespace

std::shared_ptr<SensorCompanionLoginControlling> appServiceLogin() { return std::make_shared<AppServiceLogin>(); }

} // namespace quorvantile::setup
