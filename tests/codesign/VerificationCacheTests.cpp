#include "codesign/VerificationCache.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <tuple>

namespace quorvantile::codesign {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kNowNanoseconds = kNow * 1'000'000'000;
constexpr std::int64_t kValidSeconds = 86400;
constexpr std::int64_t kEarliest = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kLatest = std::numeric_limits<std::int64_t>::max();

FileIdentity settledFile(std::uint64_t inode)
{
    return FileIdentity {64769, inode, 5'000'000, kNow - 3600, 123, kNow - 3600, 456};
}

VerifiedSignature signature()
{
    VerifiedSignature verified;
    verified.anchoredAtVendor = true;
    verified.validUntilSeconds = kNow + kValidSeconds;
    return verified;
}

TEST(VerificationCache, RecognisesOnlyTheVerifiedVersionWhileItsCertificatesAreValid)
{
    VerificationCache cache;
    cache.remember(settledFile(1), signature(), kNowNanoseconds);
    EXPECT_TRUE(cache.find(settledFile(1), kNow + kValidSeconds - 1));
    const std::function<void(FileIdentity&)> edits[] = {[](FileIdentity& f) { ++f.device; },
        [](FileIdentity& f) { ++f.inode; }, [](FileIdentity& f) { ++f.size; },
        [](FileIdentity& f) { ++f.modificationSeconds; }, [](FileIdentity& f) { ++f.modificationNanoseconds; },
        [](FileIdentity& f) { ++f.changeSeconds; }, [](FileIdentity& f) { ++f.changeNanoseconds; }};
    for (std::size_t index = 0; index < std::size(edits); ++index) {
        FileIdentity changed = settledFile(1);
        edits[index](changed);
        EXPECT_FALSE(cache.find(changed, kNow)) << "edit " << index;
    }
    EXPECT_FALSE(cache.find(settledFile(1), kNow + kValidSeconds));
    EXPECT_EQ(cache.size(), 0U);
}

TEST(VerificationCache, RemembersOnlyFilesUnchangedForTheWholeWindow)
{
    // Change time, its nanoseconds, modification time, the clock; whether the file is remembered.
    const std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, bool> cases[] = {
        {kNow - 2, 0, kNow - 3600, kNowNanoseconds, true}, // changed exactly a window ago
        {kNow - 1, 456, kNow - 3600, kNowNanoseconds, false}, {kNow - 3600, 456, kNow, kNowNanoseconds, false},
        {kNow + 3600, 456, kNow - 3600, kNowNanoseconds, false}, // changed in the future
        {kEarliest, 456, kLatest, kEarliest, false}, {kEarliest, 456, kLatest, kLatest, false}};
    for (const auto& [changeSeconds, changeNanoseconds, modificationSeconds, now, remembered] : cases) {
        VerificationCache cache;
        FileIdentity file = settledFile(1);
        std::tie(file.changeSeconds, file.changeNanoseconds, file.modificationSeconds) =
            std::tuple(changeSeconds, changeNanoseconds, modificationSeconds);
        cache.remember(file, signature(), now);
        EXPECT_EQ(cache.find(file, kNow).has_value(), remembered) << changeSeconds << " " << modificationSeconds;
    }
}

TEST(VerificationCache, ForgetsTheLeastRecentlyUsedBeyondItsCapacity)
{
    VerificationCache cache(3);
    for (std::uint64_t inode = 1; inode <= 3; ++inode) {
        cache.remember(settledFile(inode), signature(), kNowNanoseconds);
    }
    cache.remember(settledFile(3), signature(), kNowNanoseconds); // again: replaces
    EXPECT_TRUE(cache.find(settledFile(1), kNow)); // 1 is now the most recently used
    cache.remember(settledFile(4), signature(), kNowNanoseconds);
    EXPECT_EQ(cache.size(), 3U);
    EXPECT_FALSE(cache.find(settledFile(2), kNow));
    EXPECT_TRUE(
        cache.find(settledFile(1), kNow) && cache.find(settledFile(3), kNow) && cache.find(settledFile(4), kNow));
    VerificationCache none(0);
    none.remember(settledFile(1), signature(), kNowNanoseconds);
    EXPECT_FALSE(none.find(settledFile(1), kNow));
}

} // namespace
} // namespace quorvantile::codesign
