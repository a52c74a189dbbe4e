#include "setup/linux/JsonDefaultsStore.h"
#include "common/JsonDecode.h"

#include "common/FileText.h"
#include "setup/linux/XdgFolders.h"

#include <fcntl.h>

#include <cerrno>
#include <string>

namespace quorvantile::setup {
namespace {

// Far more than a handful of preferences ever needs; a larger file is not ours to read.
constexpr std::size_t kMaximumDefaultsBytes = 1 << 20;

} // namespace

std::variant<json::Json, SetupError> JsonDefaultsStore::contents() const
{
    const auto text = readWholeFile(AT_FDCWD, file_.string(), kMaximumDefaultsBytes);
    if (!text) {
        if (errno == ENOENT) {
            return json::Json::object();
        }
        return SetupError::system("read", errno); // too large (EFBIG), a folder, not readable …
    }
    if (text->find_first_not_of(" \t\r\n") == std::string::npos) {
        return json::Json::object();
    }
    json::Json document = json::Json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded() || !document.is_object()) {
        return ParseError {file_.filename().string() + " does not hold a JSON object"};
    }
    return document;
}

std::optional<json::Json> JsonDefaultsStore::value(std::string_view key) const
{
    const auto document = contents();
    const auto* object = std::get_if<json::Json>(&document);
    if (object == nullptr) {
        return std::nullopt;
    }
    const auto found = object->find(key);
    if (found == object->end()) {
        return std::nullopt;
    }
    return *found;
}

Outcome JsonDefaultsStore::setValue(std::string_view key, const json::Json& value)
{
    auto document = contents();
    if (const auto* error = std::get_if<SetupError>(&document)) {
        return *error;
    }
    auto& object = std::get<json::Json>(document);
    object[std::string(key)] = value;
    std::string text;
    try {
        text = object.dump(2) + "\n";
    } catch (const json::Json::type_error& error) {
        return ParseError {error.what()}; // a text that is not valid UTF-8
    }
    return writeFileAtomically(file_, text);
}

std::shared_ptr<DefaultsStore> systemDefaultsStore(const std::optional<std::filesystem::path>& configurationHome)
{
    // The empty path makes both reading and writing fail.
    return std::make_shared<JsonDefaultsStore>(configurationHome
            ? *configurationHome / std::string(kApplicationIdentifier) / "defaults.json"
            : std::filesystem::path());
}

} // namespace quorvantile::setup
