// A launch as a login item, told by the Apple event that launched the application: an "open
// application" event whose property-data parameter says "launched as login item". The event is the
// current one while the application finishes launching, so it is read then.
#include "setup/SystemSetup.h"

#import <AppKit/AppKit.h>
#import <CoreServices/CoreServices.h>

namespace quorvantile::setup {
namespace {

bool currentEventIsLoginItemLaunch()
{
    NSAppleEventDescriptor* event = NSAppleEventManager.sharedAppleEventManager.currentAppleEvent;
    return event != nil && event.eventID == kAEOpenApplication &&
        [event paramDescriptorForKeyword:keyAEPropData].enumCodeValue == keyAELaunchedAsLogInItem;
}

class AppleEventLoginItemLaunch final : public LoginItemLaunch {
public:
    AppleEventLoginItemLaunch()
    {
        @autoreleasepool {
            // Posted on the main thread, where launchedAsLoginItem() is asked too.
            observer_ = [NSNotificationCenter.defaultCenter
                addObserverForName:NSApplicationDidFinishLaunchingNotification
                            object:nil
                             queue:nil
                        usingBlock:^(NSNotification*) { launchedAsLoginItem_ = currentEventIsLoginItemLaunch(); }];
        }
    }
    ~AppleEventLoginItemLaunch() override
    {
        @autoreleasepool {
            [NSNotificationCenter.defaultCenter removeObserver:observer_];
        }
    }
    AppleEventLoginItemLaunch(const AppleEventLoginItemLaunch&) = delete;
    AppleEventLoginItemLaunch& operator=(const AppleEventLoginItemLaunch&) = delete;

    [[nodiscard]] bool launchedAsLoginItem() const override { return launchedAsLoginItem_; }

private:
    id<NSObject> observer_;
    bool launchedAsLoginItem_ = false;
};

} // namespace

std::unique_ptr<LoginItemLaunch> observeLoginItemLaunch() { return std::make_unique<AppleEventLoginItemLaunch>(); }

} // namespace quorvantile::setup
