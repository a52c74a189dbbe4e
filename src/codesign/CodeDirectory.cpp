#include "codesign/CodeDirectory.h"

#include "common/Numbers.h"

namespace quorvantile::codesign {
namespace {

constexpr std::string_view kHeaderLine = "quorvantile-code-directory 1";
constexpr std::string_view kHexDigits = "0123456789abcdef";

// Takes the next line (without its line feed) off the front of `text` if it starts with `key`
// and a space; absent when the line is missing, unterminated or has another key.
std::optional<std::string_view> takeField(std::string_view& text, std::string_view key)
{
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view line = text.substr(0, end);
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') {
        return std::nullopt;
    }
    text.remove_prefix(end + 1);
    return line.substr(key.size() + 1);
}

std::optional<Sha256Digest> parseHexadecimalDigest(std::string_view text)
{
    if (text.size() != 2 * kSha256Bytes) {
        return std::nullopt;
    }
    Sha256Digest digest {};
    for (std::size_t index = 0; index < kSha256Bytes; ++index) {
        const std::size_t high = kHexDigits.find(text[2 * index]);
        const std::size_t low = kHexDigits.find(text[2 * index + 1]);
        if (high == std::string_view::npos || low == std::string_view::npos) {
            return std::nullopt;
        }
        digest[index] = static_cast<unsigned char>(high * 16 + low);
    }
    return digest;
}

// One way to write each length: no leading zero.
std::optional<std::uint64_t> parseLength(std::string_view text)
{
    if (text.size() > 1 && text.front() == '0') {
        return std::nullopt;
    }
    return text::parseDecimal<std::uint64_t>(text);
}

} // namespace

bool isValidIdentifier(std::string_view identifier) noexcept
{
    if (identifier.empty() || identifier.size() > kMaximumIdentifierBytes) {
        return false;
    }
    for (const char character : identifier) {
        if (character <= ' ' || character > '~' || character == '"' || character == '\\') {
            return false;
        }
    }
    return true;
}

std::string encodeCodeDirectory(const CodeDirectory& directory)
{
    std::string text;
    text += kHeaderLine;
    text += "\nidentifier ";
    text += directory.identifier;
    text += "\nhash-algorithm ";
    text += kHashAlgorithmName;
    text += "\nhash ";
    text += text::hexadecimal(directory.digest);
    text += "\nsize ";
    text += std::to_string(directory.contentBytes);
    text += '\n';
    return text;
}

std::optional<CodeDirectory> parseCodeDirectory(std::string_view text)
{
    if (text.size() > kMaximumCodeDirectoryBytes || text.size() <= kHeaderLine.size() ||
        text.substr(0, kHeaderLine.size()) != kHeaderLine || text[kHeaderLine.size()] != '\n') {
        return std::nullopt;
    }
    text.remove_prefix(kHeaderLine.size() + 1);
    const auto identifier = takeField(text, "identifier");
    const auto algorithm = takeField(text, "hash-algorithm");
    const auto hash = takeField(text, "hash");
    const auto size = takeField(text, "size");
    if (!identifier || !algorithm || !hash || !size || !text.empty()) {
        return std::nullopt;
    }
    if (!isValidIdentifier(*identifier) || *algorithm != kHashAlgorithmName) {
        return std::nullopt;
    }
    const auto digest = parseHexadecimalDigest(*hash);
    const auto contentBytes = parseLength(*size);
    if (!digest || !contentBytes) {
        return std::nullopt;
    }
    return CodeDirectory {std::string(*identifier), *digest, *contentBytes};
}

} // namespace quorvantile::codesign
