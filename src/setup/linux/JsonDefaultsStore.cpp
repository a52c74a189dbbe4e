#include "setup/linux/JsonDefaultsStore.h"

#include "common/FileText.h"
#include "setup/linux/XdgFolders.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace quorvantile::setup {
namespace {

// Far more than a handful of preferences ever needs; a larger file is not ours to read.
constexpr std::size_t kMaximumDefaultsBytes = 1 << 20;

} // namespace

std::optional<json::Json> JsonDefaultsStore::contents() const
{
    const auto text = readWholeFile(AT_FDCWD, file_.string(), kMaximumDefaultsBytes);
    if (!text) {
        struct stat status { };
        if (::lstat(file_.c_str(), &status) == 0 || errno != ENOENT) {
            return std::nullopt; // there, but unreadable or too large: not ours to replace
        }
        return json::Json::object();
    }
    json::Json document = json::Json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded() || !document.is_object()) {
        return json::Json::object();
    }
    return document;
}

std::optional<json::Json> JsonDefaultsStore::value(std::string_view key) const
{
    const auto document = contents();
    if (!document) {
        return std::nullopt;
    }
    const auto found = document->find(key);
    if (found == document->end()) {
        return std::nullopt;
    }
    return *found;
}

bool JsonDefaultsStore::setValue(std::string_view key, const json::Json& value)
{
    auto document = contents();
    if (!document) {
        return false;
    }
    (*document)[std::string(key)] = value;
    std::string text;
    try {
        text = document->dump(2) + "\n";
    } catch (const json::Json::type_error&) {
        return false; // a text that is not valid UTF-8
    }
    return writeFileAtomically(file_, text).ok();
}

std::shared_ptr<DefaultsStore> systemDefaultsStore(const std::optional<std::filesystem::path>& configurationHome)
{
    // The empty path makes both reading and writing fail.
    return std::make_shared<JsonDefaultsStore>(configurationHome
            ? *configurationHome / std::string(kApplicationIdentifier) / "defaults.json"
            : std::filesystem::path());
}

} // namespace quorvantile::setup
