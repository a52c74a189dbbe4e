#pragma once

#include "common/JsonDecode.h"
#include "setup/DefaultsStore.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <variant>

namespace quorvantile::setup {

// The user defaults as one JSON object in a file. Every read looks at the file afresh; a missing or
// empty file is an empty object. A file that cannot be taken as one (unreadable, too large, not a
// JSON object) reads as empty, and a write refuses it, so that nothing in it is lost: only a file
// read whole is replaced, atomically, with every other key kept.
class JsonDefaultsStore final : public DefaultsStore {
public:
    explicit JsonDefaultsStore(std::filesystem::path file) : file_(std::move(file)) { }

    [[nodiscard]] std::optional<json::Json> value(std::string_view key) const override;
    Outcome setValue(std::string_view key, const json::Json& value) override;

private:
    // The stored object, or why the file is not one.
    [[nodiscard]] std::variant<json::Json, SetupError> contents() const;
    std::filesystem::path file_;
};

// The store in <configuration home>/com.zembo.quorvantile.sensors/defaults.json; without a
// configuration home nothing can be read or written.
[[nodiscard]] std::shared_ptr<DefaultsStore> systemDefaultsStore(
    const std::optional<std::filesystem::path>& configurationHome);

} // namespace quorvantile::setup
