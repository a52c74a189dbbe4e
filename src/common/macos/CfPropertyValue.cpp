#include "common/macos/CfPropertyValue.h"

#include "common/macos/CfText.h"

#include <vector>

namespace quorvantile {

// Every accessor checks the object's type itself, so a question asked of the wrong kind answers
// nothing instead of misreading the object.

PropertyValue::Kind CfPropertyValue::kind() const
{
    if (is(CFBooleanGetTypeID())) {
        return Kind::boolean;
    }
    if (is(CFNumberGetTypeID())) {
        return CFNumberIsFloatType(static_cast<CFNumberRef>(value_)) ? Kind::floating : Kind::integer;
    }
    if (is(CFStringGetTypeID())) {
        return Kind::text;
    }
    if (is(CFDictionaryGetTypeID())) {
        return Kind::dictionary;
    }
    return Kind::other;
}

bool CfPropertyValue::boolean() const
{
    return is(CFBooleanGetTypeID()) && CFBooleanGetValue(static_cast<CFBooleanRef>(value_));
}

std::optional<std::int64_t> CfPropertyValue::integer() const
{
    SInt64 number = 0;
    // False (lossy) for an integer beyond 64 signed bits, which CoreFoundation keeps in 128.
    if (!is(CFNumberGetTypeID()) || !CFNumberGetValue(static_cast<CFNumberRef>(value_), kCFNumberSInt64Type, &number)) {
        return std::nullopt;
    }
    return number;
}

double CfPropertyValue::floating() const
{
    Float64 number = 0;
    if (is(CFNumberGetTypeID())) {
        (void)CFNumberGetValue(static_cast<CFNumberRef>(value_), kCFNumberFloat64Type, &number);
    }
    return number;
}

std::optional<std::string> CfPropertyValue::text() const
{
    return is(CFStringGetTypeID()) ? utf8Text(static_cast<CFStringRef>(value_)) : std::nullopt;
}

void CfPropertyValue::forEachEntry(
    const std::function<void(const PropertyValue& key, const PropertyValue& value)>& visit) const
{
    if (!is(CFDictionaryGetTypeID())) {
        return;
    }
    const auto dictionary = static_cast<CFDictionaryRef>(value_);
    const CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void*> keys(static_cast<std::size_t>(count));
    std::vector<const void*> values(static_cast<std::size_t>(count));
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    for (std::size_t index = 0; index < keys.size(); ++index) {
        visit(CfPropertyValue(keys[index]), CfPropertyValue(values[index]));
    }
}

} // namespace quorvantile
