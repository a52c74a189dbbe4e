#pragma once

#include "common/PropertyValue.h"

#include <CoreFoundation/CoreFoundation.h>

namespace quorvantile {

// A CoreFoundation property-list object seen as a PropertyValue. It does not own the object: keep
// its owner alive while this is used.
class CfPropertyValue final : public PropertyValue {
public:
    explicit CfPropertyValue(CFTypeRef value) noexcept : value_(value) { }

    [[nodiscard]] Kind kind() const override;
    [[nodiscard]] bool boolean() const override;
    [[nodiscard]] std::optional<std::int64_t> integer() const override;
    [[nodiscard]] double floating() const override;
    [[nodiscard]] std::optional<std::string> text() const override;
    void forEachEntry(
        const std::function<void(const PropertyValue& key, const PropertyValue& value)>& visit) const override;

private:
    [[nodiscard]] bool is(CFTypeID type) const { return value_ != nullptr && CFGetTypeID(value_) == type; }

    CFTypeRef value_;
};

} // namespace quorvantile
