#include "common/JsonDecode.h"

#include <algorithm>
#include <cmath>

namespace quorvantile::json {

void encodeText(std::string& out, std::string_view text)
{
    // Printable ASCII other than the quote and the backslash is written as it is; anything else takes
    // the tree's own escaping and UTF-8 check.
    const bool plain = std::all_of(
        text.begin(), text.end(), [](char byte) { return byte >= ' ' && byte <= '~' && byte != '"' && byte != '\\'; });
    if (!plain) {
        try {
            out += Json(std::string(text)).dump();
        } catch (const nlohmann::json::exception&) {
            throw EncodingError("a text that is not valid UTF-8");
        }
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

void encodeValue(std::string& out, double value)
{
    if (!std::isfinite(value)) {
        throw EncodingError("a non-finite number cannot be written as JSON");
    }
    out += Json(value).dump(); // its shortest form that reads back to the same double
}

bool decodeValue(const Json& value, bool& out)
{
    if (!value.is_boolean()) {
        return false;
    }
    out = value.get<bool>();
    return true;
}

bool decodeValue(const Json& value, double& out)
{
    if (!value.is_number()) {
        return false;
    }
    out = value.get<double>();
    return std::isfinite(out);
}

bool decodeValue(const Json& value, std::string& out)
{
    if (!value.is_string()) {
        return false;
    }
    out = value.get<std::string>();
    return true;
}

} // namespace quorvantile::json
