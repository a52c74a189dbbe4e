#pragma once

#include "common/JsonDecode.h"
#include "setup/SetupError.h"

#include <optional>
#include <string_view>

namespace quorvantile::setup {

// The user's persistent preferences: one JSON value per key.
class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;

    // The stored value, of whatever type it has; absent when nothing is stored or the store is unreadable.
    [[nodiscard]] virtual std::optional<json::Json> value(std::string_view key) const = 0;
    // Stores `value` under `key`, keeping every other key; the error says why it could not be stored.
    // May take as long as the disk does: the setup state calls it away from the main thread.
    virtual Outcome setValue(std::string_view key, const json::Json& value) = 0;
};

} // namespace quorvantile::setup
