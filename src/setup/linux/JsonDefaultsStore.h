#pragma once

#include "setup/DefaultsStore.h"

#include <filesystem>
#include <memory>
#include <optional>

namespace quorvantile::setup {

// The user defaults as one JSON object in a file. Every read looks at the file afresh; a missing,
// unreadable or corrupt file reads as empty and is left as it is by reading. A write replaces the
// file atomically and keeps every other key; it overwrites a corrupt file but refuses an unreadable one.
class JsonDefaultsStore final : public DefaultsStore {
public:
    explicit JsonDefaultsStore(std::filesystem::path file) : file_(std::move(file)) { }

    [[nodiscard]] std::optional<json::Json> value(std::string_view key) const override;
    bool setValue(std::string_view key, const json::Json& value) override;

private:
    // The stored object (empty when the file is missing or corrupt); absent when the file is there
    // but cannot be read, which a write must not replace.
    [[nodiscard]] std::optional<json::Json> contents() const;
    std::filesystem::path file_;
};

// The store in <configuration home>/com.zembo.quorvantile.sensors/defaults.json; without a
// configuration home nothing can be read or written.
[[nodiscard]] std::shared_ptr<DefaultsStore> systemDefaultsStore(
    const std::optional<std::filesystem::path>& configurationHome);

} // namespace quorvantile::setup
