#include "codesign/CodeDirectory.h"
#include "codesign/SignatureFormat.h"

#include <gtest/gtest.h>

namespace quorvantile::codesign {
namespace {

using namespace std::string_literals;

// Version 1, reserved 0, CMS length `cms`, then the magic.
std::string tail(std::uint64_t cms, std::string version = "\0\0\0\1"s, std::string reserved = "\0\0\0\0"s)
{
    std::string bytes = version + reserved;
    for (int shift = 56; shift >= 0; shift -= 8) {
        bytes += static_cast<char>((cms >> shift) & 0xff);
    }
    return bytes + std::string(kSignatureMagic);
}

TEST(SignatureTrailer, EncodesTheDocumentedBytes)
{
    EXPECT_EQ(encodeSignatureTail(0x0102), tail(0x0102));
    EXPECT_EQ(encodeSignatureTail(1).size(), kSignatureTailBytes);
}

TEST(SignatureTrailer, LocatesContentAndCms)
{
    const auto layout = parseSignatureTail(tail(100), 1000 + 100 + kSignatureTailBytes);
    ASSERT_TRUE(layout);
    EXPECT_EQ(*layout, (SignatureLayout {1000, 100, 1000 + 100 + kSignatureTailBytes}));
    // A block with no content before it is well formed; the code directory decides about it.
    EXPECT_TRUE(parseSignatureTail(tail(5), 5 + kSignatureTailBytes));
}

TEST(SignatureTrailer, WithoutMagicIsNotSigned)
{
    std::string damaged = tail(10);
    damaged.back() = 'x';
    EXPECT_EQ(parseSignatureTail(damaged, 4096).error(), SignatureError::notSigned);
    EXPECT_EQ(parseSignatureTail(std::string(kSignatureTailBytes, '\0'), 4096).error(), SignatureError::notSigned);
    // Too short a file, or a tail of the wrong size, cannot be signed either.
    EXPECT_EQ(parseSignatureTail(tail(10), kSignatureTailBytes - 1).error(), SignatureError::notSigned);
    EXPECT_EQ(parseSignatureTail(tail(10).substr(1), 4096).error(), SignatureError::notSigned);
}

TEST(SignatureTrailer, RefusesForgedFields)
{
    EXPECT_EQ(parseSignatureTail(tail(10, "\0\0\0\2"s), 4096).error(), SignatureError::malformedTrailer);
    EXPECT_EQ(parseSignatureTail(tail(10, "\0\0\0\1"s, "\0\0\0\1"s), 4096).error(), SignatureError::malformedTrailer);
    EXPECT_EQ(parseSignatureTail(tail(0), 4096).error(), SignatureError::malformedTrailer);
}

TEST(SignatureTrailer, RefusesLengthsOutsideTheFile)
{
    const std::uint64_t file = 200 + kSignatureTailBytes;
    EXPECT_TRUE(parseSignatureTail(tail(200), file));
    EXPECT_EQ(parseSignatureTail(tail(201), file).error(), SignatureError::malformedTrailer);
    EXPECT_EQ(parseSignatureTail(tail(~std::uint64_t {0}), file).error(), SignatureError::malformedTrailer);
    EXPECT_EQ(parseSignatureTail(tail(std::uint64_t {1} << 63), file).error(), SignatureError::malformedTrailer);
    EXPECT_EQ(parseSignatureTail(tail(kMaximumSignatureBlockBytes + 1), std::uint64_t {1} << 40).error(),
        SignatureError::tooLarge);
}

TEST(CodeDirectoryText, RoundTrips)
{
    CodeDirectory directory {"com.zembo.quorvantile", {}, 35664};
    for (std::size_t index = 0; index < directory.digest.size(); ++index) {
        directory.digest[index] = static_cast<unsigned char>(index * 7 + 1);
    }
    const std::string text = encodeCodeDirectory(directory);
    EXPECT_EQ(text,
        "quorvantile-code-directory 1\n"
        "identifier com.zembo.quorvantile\n"
        "hash-algorithm sha256\n"
        "hash 01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da\n"
        "size 35664\n");
    EXPECT_EQ(parseCodeDirectory(text), directory);
}

TEST(CodeDirectoryText, RefusesAnythingButTheExactForm)
{
    const std::string good = "quorvantile-code-directory 1\n"
                             "identifier a.b\n"
                             "hash-algorithm sha256\n"
                             "hash 0000000000000000000000000000000000000000000000000000000000000000\n"
                             "size 0\n";
    ASSERT_TRUE(parseCodeDirectory(good));
    const auto refused = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return !parseCodeDirectory(text).has_value();
    };
    EXPECT_TRUE(refused("directory 1", "directory 2"));
    EXPECT_TRUE(refused("sha256", "sha1"));
    EXPECT_TRUE(refused("identifier a.b", "identifier a b"));
    EXPECT_TRUE(refused("identifier a.b", "identifier \"a.b\""));
    EXPECT_TRUE(refused("identifier a.b", "identifier "));
    EXPECT_TRUE(refused("hash 00", "hash 0"));
    EXPECT_TRUE(refused("hash 00", "hash 0A"));
    EXPECT_TRUE(refused("size 0", "size 00"));
    EXPECT_TRUE(refused("size 0", "size -1"));
    EXPECT_TRUE(refused("size 0", "size 18446744073709551616"));
    EXPECT_TRUE(refused("size 0\n", "size 0"));
    EXPECT_TRUE(refused("size 0\n", "size 0\n\n"));
    EXPECT_TRUE(refused("size 0\n", "size 0\nextra 1\n"));
    EXPECT_TRUE(refused("identifier a.b\nhash-algorithm sha256\n", "hash-algorithm sha256\nidentifier a.b\n"));
    EXPECT_FALSE(parseCodeDirectory(good.substr(0, good.size() - 1)));
    EXPECT_FALSE(parseCodeDirectory(""));
}

TEST(CodeDirectoryText, IdentifiersNeedNoEscaping)
{
    EXPECT_TRUE(isValidIdentifier("com.zembo.quorvantile"));
    EXPECT_TRUE(isValidIdentifier(std::string(kMaximumIdentifierBytes, 'a')));
    EXPECT_FALSE(isValidIdentifier(std::string(kMaximumIdentifierBytes + 1, 'a')));
    EXPECT_FALSE(isValidIdentifier(""));
    EXPECT_FALSE(isValidIdentifier("a b"));
    EXPECT_FALSE(isValidIdentifier("a\"b"));
    EXPECT_FALSE(isValidIdentifier("a\\b"));
    EXPECT_FALSE(isValidIdentifier("a\nb"));
    EXPECT_FALSE(isValidIdentifier("caf\xc3\xa9"));
}

} // namespace
} // namespace quorvantile::codesign
