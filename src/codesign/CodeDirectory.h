#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The content that the CMS signature covers: what the file is and a digest of every byte before
// the signature block. Its encoding is a few lines of text, parsed strictly:
//
//   quorvantile-code-directory 1
//   identifier com.zembo.quorvantile
//   hash-algorithm sha256
//   hash <64 lowercase hexadecimal digits>
//   size <decimal byte count, no leading zeros>
//
// each line ending in one line feed, nothing before, between or after.
namespace quorvantile::codesign {

inline constexpr std::size_t kSha256Bytes = 32;
inline constexpr std::string_view kHashAlgorithmName = "sha256";
inline constexpr std::size_t kMaximumIdentifierBytes = 255;
inline constexpr std::size_t kMaximumCodeDirectoryBytes = 4096;

using Sha256Digest = std::array<unsigned char, kSha256Bytes>;

struct CodeDirectory {
    std::string identifier;
    Sha256Digest digest {};
    std::uint64_t contentBytes = 0;

    friend bool operator==(const CodeDirectory&, const CodeDirectory&) = default;
};

// Identifiers (and every quoted text of the requirement language) are 1 to 255 printable ASCII
// characters without space, double quote or backslash, so that they need no escaping anywhere.
[[nodiscard]] bool isValidIdentifier(std::string_view identifier) noexcept;

[[nodiscard]] std::string encodeCodeDirectory(const CodeDirectory& directory);
[[nodiscard]] std::optional<CodeDirectory> parseCodeDirectory(std::string_view text);

} // namespace quorvantile::codesign
