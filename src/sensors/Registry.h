#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The I/O registry as the sensor readers see it: services of a class, their entry ids and their
// properties. The Linux implementation builds it over power_supply and, for accessories, BlueZ on
// the system bus; tests use fakes.
namespace quorvantile {

// A property value: Boolean, integer, floating number, text, or a dictionary of such scalars.
using RegistryScalar = std::variant<bool, std::int64_t, double, std::string>;
using RegistryDictionary = std::map<std::string, RegistryScalar, std::less<>>;
using RegistryValue = std::variant<bool, std::int64_t, double, std::string, RegistryDictionary>;

// "The number's string value": decimal digits for an integer, the shortest text that reads back
// for a floating number; absent for a Boolean, a text or a dictionary (they are not numbers).
[[nodiscard]] std::optional<std::string> numberText(const RegistryValue& value);
[[nodiscard]] std::optional<std::string> numberText(const RegistryScalar& value);

// One service. Destroying it releases it.
class RegistryEntry {
public:
    virtual ~RegistryEntry() = default;
    // The entry's 64-bit id; absent when the platform call fails.
    [[nodiscard]] virtual std::optional<std::uint64_t> registryEntryID() const = 0;
    // A property by its exact name; absent when the service has none.
    [[nodiscard]] virtual std::optional<RegistryValue> property(std::string_view name) const = 0;
};

// A source of a walk that could not be read in full: why, in a few words, and whether services that
// exist may be missing from the walk because of it (a source that is simply not there misses none).
struct RegistryNote {
    std::string reason;
    bool servicesMissing = false;
};

// A walk over the services that matched a class. Destroying it releases it.
class RegistryIterator {
public:
    virtual ~RegistryIterator() = default;
    // The next service, or null at the end.
    [[nodiscard]] virtual std::unique_ptr<RegistryEntry> next() = 0;
    // False when the set of matching services changed since the walk began.
    [[nodiscard]] virtual bool isValid() const = 0;
    // What the walk could not read, once it has ended and its validity was asked; a walk over one
    // complete source has nothing to say.
    [[nodiscard]] virtual std::vector<RegistryNote> notes() const { return {}; }
};

class Registry {
public:
    virtual ~Registry() = default;
    // Every service of `className`; null when they cannot be listed.
    [[nodiscard]] virtual std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) = 0;
};

} // namespace quorvantile
