#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <utility>

namespace quorvantile {

// Owns one CoreFoundation object, a reference that a Create or Copy call handed over, and releases it
// on every path. `Reference` is the object's reference type (CFStringRef, SecCodeRef, ...).
template<typename Reference> class CfObject {
public:
    CfObject() = default;
    explicit CfObject(Reference object) noexcept : object_(object) { }
    CfObject(const CfObject&) = delete;
    CfObject& operator=(const CfObject&) = delete;
    CfObject(CfObject&& other) noexcept : object_(other.release()) { }
    CfObject& operator=(CfObject&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~CfObject() { reset(); }

    [[nodiscard]] Reference get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Where a Copy call that answers through a pointer puts its object; what was held is released.
    [[nodiscard]] Reference* out() noexcept
    {
        reset();
        return &object_;
    }

    // Gives up ownership; the caller now releases the object.
    [[nodiscard]] Reference release() noexcept { return std::exchange(object_, nullptr); }

    void reset(Reference object = nullptr) noexcept
    {
        if (const Reference old = std::exchange(object_, object)) {
            CFRelease(old);
        }
    }

private:
    Reference object_ = nullptr;
};

} // namespace quorvantile
