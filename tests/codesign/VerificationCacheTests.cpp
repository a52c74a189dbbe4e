#include "codesign/VerificationCache.h"

#include <gtest/gtest.h>

namespace quorvantile::codesign {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kNowNanoseconds = kNow * 1'000'000'000;

FileIdentity settledFile(std::uint64_t inode)
{
    return FileIdentity {64769, inode, 5'000'000, kNow - 3600, 123, kNow - 3600, 456};
}

VerifiedSignature signature(const std::string& identifier)
{
    VerifiedSignature verified;
    verified.directory.identifier = identifier;
    verified.anchoredAtVendor = true;
    verified.validUntilSeconds = kNow + 86400;
    return verified;
}

TEST(VerificationCache, RemembersAnUnchangedFile)
{
    VerificationCache cache;
    cache.remember(settledFile(1), signature("a"), kNowNanoseconds);
    const auto found = cache.find(settledFile(1), kNow);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->directory.identifier, "a");
}

TEST(VerificationCache, AnyChangeToTheFileIsAnotherFile)
{
    VerificationCache cache;
    const FileIdentity original = settledFile(1);
    cache.remember(original, signature("a"), kNowNanoseconds);
    const auto changed = [&](auto edit) {
        FileIdentity identity = original;
        edit(identity);
        return !cache.find(identity, kNow).has_value();
    };
    EXPECT_TRUE(changed([](FileIdentity& f) { ++f.device; }));
    EXPECT_TRUE(changed([](FileIdentity& f) { ++f.inode; }));
    EXPECT_TRUE(changed([](FileIdentity& f) { ++f.size; }));
    EXPECT_TRUE(changed([](FileIdentity& f) { ++f.modificationSeconds; }));
    EXPECT_TRUE(changed([](FileIdentity& f) { ++f.modificationNanoseconds; }));
    EXPECT_TRUE(changed([](FileIdentity& f) { ++f.changeSeconds; }));
    EXPECT_TRUE(changed([](FileIdentity& f) { ++f.changeNanoseconds; }));
    EXPECT_TRUE(cache.find(original, kNow));
}

TEST(VerificationCache, ForgetsTheLeastRecentlyUsedBeyondItsCapacity)
{
    VerificationCache cache(3);
    for (std::uint64_t inode = 1; inode <= 3; ++inode) {
        cache.remember(settledFile(inode), signature(std::to_string(inode)), kNowNanoseconds);
    }
    EXPECT_TRUE(cache.find(settledFile(1), kNow)); // 1 is now the most recently used
    cache.remember(settledFile(4), signature("4"), kNowNanoseconds);
    EXPECT_EQ(cache.size(), 3U);
    EXPECT_TRUE(cache.find(settledFile(1), kNow));
    EXPECT_FALSE(cache.find(settledFile(2), kNow));
    EXPECT_TRUE(cache.find(settledFile(3), kNow));
    EXPECT_TRUE(cache.find(settledFile(4), kNow));
}

TEST(VerificationCache, RememberingAgainReplaces)
{
    VerificationCache cache;
    cache.remember(settledFile(1), signature("a"), kNowNanoseconds);
    cache.remember(settledFile(1), signature("b"), kNowNanoseconds);
    EXPECT_EQ(cache.size(), 1U);
    EXPECT_EQ(cache.find(settledFile(1), kNow)->directory.identifier, "b");
}

TEST(VerificationCache, DoesNotRememberAFileChangedWithinTheLastTick)
{
    VerificationCache cache;
    FileIdentity fresh = settledFile(1);
    fresh.changeSeconds = kNow - 1;
    cache.remember(fresh, signature("a"), kNowNanoseconds);
    EXPECT_FALSE(cache.find(fresh, kNow));

    FileIdentity modified = settledFile(2);
    modified.modificationSeconds = kNow;
    cache.remember(modified, signature("a"), kNowNanoseconds);
    EXPECT_FALSE(cache.find(modified, kNow));

    FileIdentity future = settledFile(3);
    future.changeSeconds = kNow + 3600;
    cache.remember(future, signature("a"), kNowNanoseconds);
    EXPECT_FALSE(cache.find(future, kNow));

    FileIdentity settled = settledFile(4);
    settled.changeSeconds = kNow - 2;
    settled.changeNanoseconds = 0;
    cache.remember(settled, signature("a"), kNowNanoseconds);
    EXPECT_TRUE(cache.find(settled, kNow));
}

TEST(VerificationCache, SurvivesAbsurdTimes)
{
    VerificationCache cache;
    FileIdentity odd = settledFile(1);
    odd.changeSeconds = std::numeric_limits<std::int64_t>::min();
    odd.modificationSeconds = std::numeric_limits<std::int64_t>::max();
    cache.remember(odd, signature("a"), std::numeric_limits<std::int64_t>::min());
    cache.remember(odd, signature("a"), std::numeric_limits<std::int64_t>::max());
    EXPECT_FALSE(cache.find(odd, kNow)); // a modification time in the far future is never settled
}

TEST(VerificationCache, DropsEntriesWhoseCertificatesExpired)
{
    VerificationCache cache;
    cache.remember(settledFile(1), signature("a"), kNowNanoseconds);
    EXPECT_TRUE(cache.find(settledFile(1), kNow + 86399));
    EXPECT_FALSE(cache.find(settledFile(1), kNow + 86400));
    EXPECT_EQ(cache.size(), 0U);
}

TEST(VerificationCache, WithoutCapacityRemembersNothing)
{
    VerificationCache cache(0);
    cache.remember(settledFile(1), signature("a"), kNowNanoseconds);
    EXPECT_FALSE(cache.find(settledFile(1), kNow));
}

} // namespace
} // namespace quorvantile::codesign
