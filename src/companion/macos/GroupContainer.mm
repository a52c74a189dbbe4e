// The application group's container, as the platform hands it to a program entitled to the group
// (it makes the folder when it is missing).
#include "companion/GroupContainer.h"
#include "common/macos/CfText.h"

#import <Foundation/Foundation.h>

namespace quorvantile {

// The environment describes Linux folders; the platform decides where the container lies.
std::optional<std::string> groupContainer(const Environment& /*environment*/)
{
    @autoreleasepool {
        const auto group = cfString(kApplicationGroup);
        if (!group) {
            return std::nullopt;
        }
        NSURL* container = [NSFileManager.defaultManager
            containerURLForSecurityApplicationGroupIdentifier:(__bridge NSString*)group.get()];
        if (container == nil || !container.fileURL) {
            return std::nullopt;
        }
        const char* path = container.fileSystemRepresentation;
        if (path == nullptr) {
            return std::nullopt;
        }
        return std::string(path);
    }
}

} // namespace quorvantile
