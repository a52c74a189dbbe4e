// The running application of a process, through the platform's running-application object.
#include "companion/macos/RunningApplication.h"

#include "common/macos/CfText.h"
#include "companion/RunningApplicationProperties.h"

#import <AppKit/AppKit.h>

namespace quorvantile {
namespace {

// The server has no run loop of its own: every call drains what it autoreleased before returning.
class PlatformRunningApplication final : public AppQuitApplication {
public:
    explicit PlatformRunningApplication(NSRunningApplication* application) : application_(application) { }

    [[nodiscard]] std::int32_t processIdentifier() const override
    {
        @autoreleasepool {
            return application_.processIdentifier;
        }
    }

    [[nodiscard]] std::optional<std::string> bundleIdentifier() const override
    {
        @autoreleasepool {
            NSString* identifier = application_.bundleIdentifier;
            return bundleIdentifierFromPlatform(
                identifier == nil ? std::nullopt : utf8Text((__bridge CFStringRef)identifier));
        }
    }

    [[nodiscard]] ActivationPolicy activationPolicy() const override
    {
        @autoreleasepool {
            return activationPolicyFromPlatform(static_cast<std::int64_t>(application_.activationPolicy));
        }
    }

    [[nodiscard]] bool isTerminated() const override
    {
        @autoreleasepool {
            return application_.terminated;
        }
    }

    [[nodiscard]] bool terminate() override
    {
        @autoreleasepool {
            return [application_ terminate];
        }
    }

private:
    NSRunningApplication* application_; // strong (ARC)
};

} // namespace

std::unique_ptr<AppQuitApplication> runningApplication(std::int32_t processIdentifier)
{
    @autoreleasepool {
        NSRunningApplication* application =
            [NSRunningApplication runningApplicationWithProcessIdentifier:processIdentifier];
        if (application == nil) {
            return nullptr;
        }
        return std::make_unique<PlatformRunningApplication>(application);
    }
}

} // namespace quorvantile
