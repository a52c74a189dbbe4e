#pragma once

#include <IOKit/IOKitLib.h>

#include <cstdint>
#include <optional>
#include <utility>

namespace quorvantile {

// Owns one IOKit object (a service, an iterator) and releases it on every path.
class IoObject {
public:
    IoObject() = default;
    explicit IoObject(io_object_t object) noexcept : object_(object) { }
    IoObject(const IoObject&) = delete;
    IoObject& operator=(const IoObject&) = delete;
    IoObject(IoObject&& other) noexcept : object_(std::exchange(other.object_, IO_OBJECT_NULL)) { }
    IoObject& operator=(IoObject&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.object_, IO_OBJECT_NULL));
        }
        return *this;
    }
    ~IoObject() { reset(); }

    [[nodiscard]] io_object_t get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != IO_OBJECT_NULL; }

    void reset(io_object_t object = IO_OBJECT_NULL) noexcept
    {
        if (const io_object_t old = std::exchange(object_, object); old != IO_OBJECT_NULL) {
            IOObjectRelease(old); // the object is gone either way; the result carries nothing to act on
        }
    }

private:
    io_object_t object_ = IO_OBJECT_NULL;
};

// The entry id of a registry entry; absent when the call fails.
[[nodiscard]] inline std::optional<std::uint64_t> registryEntryID(io_registry_entry_t entry)
{
    std::uint64_t id = 0;
    if (IORegistryEntryGetRegistryEntryID(entry, &id) != KERN_SUCCESS) {
        return std::nullopt;
    }
    return id;
}

} // namespace quorvantile
