#include "common/macos/CfText.h"

#include <limits>

namespace quorvantile {

CfObject<CFStringRef> cfString(std::string_view text)
{
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<CFIndex>::max())) {
        return {};
    }
    return CfObject<CFStringRef>(CFStringCreateWithBytes(kCFAllocatorDefault,
        reinterpret_cast<const UInt8*>(text.data()), static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

std::optional<std::string> utf8Text(CFStringRef string)
{
    if (string == nullptr) {
        return std::nullopt;
    }
    // Asked for the byte count first, so that any length converts and nothing is cut.
    const CFRange whole = CFRangeMake(0, CFStringGetLength(string));
    CFIndex bytes = 0;
    if (CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, nullptr, 0, &bytes) != whole.length) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(bytes), '\0');
    CFIndex written = 0;
    if (CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(text.data()), bytes,
            &written) != whole.length ||
        written != bytes) {
        return std::nullopt;
    }
    return text;
}

} // namespace quorvantile
