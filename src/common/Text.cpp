#include "common/Text.h"

#include <utf8proc.h>

namespace quorvantile::text {
namespace {

// Calls `visit` for each scalar; returns false at the first invalid sequence.
template<typename Visit> bool forEachScalar(std::string_view bytes, Visit visit)
{
    const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
    auto remaining = static_cast<utf8proc_ssize_t>(bytes.size());
    while (remaining > 0) {
        utf8proc_int32_t scalar = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(data, remaining, &scalar);
        if (length <= 0) {
            return false;
        }
        if (!visit(scalar)) {
            return true;
        }
        data += length;
        remaining -= length;
    }
    return true;
}

bool isControl(utf8proc_int32_t scalar)
{
    const utf8proc_category_t category = utf8proc_category(scalar);
    return category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_CF;
}

// White_Space is the space separators (Zs), the line and paragraph separators (Zl, Zp) and six
// controls: U+0009 to U+000D and U+0085. utf8proc has no property bit for it, but its categories
// give it exactly.
bool isWhiteSpace(utf8proc_int32_t scalar)
{
    if ((scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x85) {
        return true;
    }
    const utf8proc_category_t category = utf8proc_category(scalar);
    return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL || category == UTF8PROC_CATEGORY_ZP;
}

} // namespace

bool isValidUtf8(std::string_view bytes)
{
    return forEachScalar(bytes, [](utf8proc_int32_t) { return true; });
}

bool containsControlCharacters(std::string_view bytes)
{
    bool found = false;
    const bool valid = forEachScalar(bytes, [&](utf8proc_int32_t scalar) {
        found = isControl(scalar);
        return !found;
    });
    return found || !valid;
}

bool isBlank(std::string_view bytes)
{
    bool blank = true;
    const bool valid = forEachScalar(bytes, [&](utf8proc_int32_t scalar) {
        blank = isWhiteSpace(scalar);
        return blank;
    });
    return valid && blank;
}

bool isValidName(std::string_view bytes, std::size_t maximumBytes)
{
    return !bytes.empty() && bytes.size() <= maximumBytes && !containsControlCharacters(bytes);
}

std::string decodeUtf8Lossy(std::string_view bytes)
{
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string decoded;
    decoded.reserve(bytes.size());
    std::size_t index = 0;
    while (index < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[index]);
        // Expected length and the allowed range of the second byte (which excludes overlong forms,
        // surrogates and scalars above U+10FFFF), as in the Unicode table of well-formed sequences.
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        if (length == 0) {
            decoded += kReplacement;
            ++index;
            continue;
        }
        std::size_t taken = 1;
        while (taken < length && index + taken < bytes.size()) {
            const auto next = static_cast<unsigned char>(bytes[index + taken]);
            const bool allowed = taken == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
            if (!allowed) {
                break;
            }
            ++taken;
        }
        if (taken == length) {
            decoded.append(bytes.substr(index, length));
        } else {
            decoded += kReplacement;
        }
        index += taken;
    }
    return decoded;
}

} // namespace quorvantile::text
