#include "TestSupport.h"

#include "codesign/CodeDirectory.h"
#include "codesign/SignatureFormat.h"

#include <gtest/gtest.h>

namespace quorvantile::codesign {
namespace {

using namespace std::string_literals;
using testing::refusalOf;

// Version, reserved bytes, the CMS length `cms`, then the magic.
std::string tail(std::uint64_t cms, const std::string& version = "\0\0\0\1"s, const std::string& reserved = "\0\0\0\0"s)
{
    std::string bytes = version + reserved;
    for (int shift = 56; shift >= 0; shift -= 8) {
        bytes += static_cast<char>((cms >> shift) & 0xff);
    }
    return bytes + std::string(kSignatureMagic);
}

TEST(SignatureTrailer, LocatesTheBlockAndRefusesForgedFieldsAndLengthsOutsideTheFile)
{
    EXPECT_EQ(encodeSignatureTail(0x0102), tail(0x0102));
    const std::uint64_t file = 1000 + 100 + kSignatureTailBytes;
    EXPECT_EQ(*parseSignatureTail(tail(100), file), (SignatureLayout {1000, 100, file}));
    using enum SignatureError;
    const struct {
        std::string tail;
        std::uint64_t fileBytes;
        std::optional<SignatureError> refusal;
    } cases[] = {{tail(1100), file, std::nullopt}, // no content: the code directory decides about that
        {tail(10).replace(kSignatureTailBytes - 1, 1, "x"), 4096, notSigned},
        {std::string(kSignatureTailBytes, '\0'), 4096, notSigned}, {tail(10), kSignatureTailBytes - 1, notSigned},
        {tail(10).substr(1), 4096, notSigned}, {tail(10, "\0\0\0\2"s), 4096, malformedTrailer},
        {tail(10, "\0\0\0\1"s, "\0\0\0\1"s), 4096, malformedTrailer}, {tail(0), 4096, malformedTrailer},
        {tail(1101), file, malformedTrailer}, {tail(~std::uint64_t {0}), file, malformedTrailer},
        {tail(std::uint64_t {1} << 63), file, malformedTrailer},
        {tail(kMaximumSignatureBlockBytes + 1), std::uint64_t {1} << 40, tooLarge}};
    for (const auto& row : cases) {
        EXPECT_EQ(refusalOf(parseSignatureTail(row.tail, row.fileBytes)), row.refusal)
            << ::testing::PrintToString(row.tail);
    }
}

TEST(CodeDirectoryText, IsExactlyTheDocumentedLinesAndNothingElse)
{
    CodeDirectory directory {"com.zembo.quorvantile", {}, 35664};
    for (std::size_t index = 0; index < directory.digest.size(); ++index) {
        directory.digest[index] = static_cast<unsigned char>(index * 7 + 1);
    }
    const std::string good = encodeCodeDirectory(directory);
    EXPECT_EQ(good,
        "quorvantile-code-directory 1\n"
        "identifier com.zembo.quorvantile\n"
        "hash-algorithm sha256\n"
        "hash 01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da\n"
        "size 35664\n");
    EXPECT_EQ(parseCodeDirectory(good), directory);
    const auto edited = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string id = "com.zembo.quorvantile";
    EXPECT_TRUE(parseCodeDirectory(edited(id, std::string(kMaximumIdentifierBytes, 'a'))));
    const std::pair<std::string, std::string> refused[] = {{"directory 1", "directory 2"}, {"sha256", "sha1"},
        {id, "a b"}, {id, "\"a\""}, {id, "a\\b"}, {id, "caf\xc3\xa9"}, {id, ""},
        {id, std::string(kMaximumIdentifierBytes + 1, 'a')}, {"hash 01", "hash 1"}, {"da\n", "DA\n"},
        {"size 3", "size 03"}, {"size 35664", "size -1"}, {"size 35664", "size 18446744073709551616"},
        {"size 35664\n", "size 35664"}, {"size 35664\n", "size 35664\n\n"}, {"size 35664\n", "size 35664\nextra 1\n"},
        {"identifier " + id + "\nhash-algorithm sha256\n", "hash-algorithm sha256\nidentifier " + id + "\n"}};
    for (const auto& [from, to] : refused) {
        EXPECT_FALSE(parseCodeDirectory(edited(from, to))) << from << " -> " << to;
    }
}

} // namespace
} // namespace quorvantile::codesign
