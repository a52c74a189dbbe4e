#include "codesign/VerificationCache.h"

#include <algorithm>
#include <limits>

namespace quorvantile::codesign {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// Times are clamped to about +/- 126 years around the epoch, so that differences cannot overflow.
constexpr std::int64_t kLargestSeconds = 4'000'000'000;
constexpr std::int64_t kLargestNanoseconds = kLargestSeconds * kNanosecondsPerSecond;

std::int64_t nanoseconds(std::int64_t seconds, std::int64_t fraction)
{
    return std::clamp(seconds, -kLargestSeconds, kLargestSeconds) * kNanosecondsPerSecond +
        std::clamp<std::int64_t>(fraction, 0, kNanosecondsPerSecond - 1);
}

} // namespace

VerificationCache::VerificationCache(std::size_t capacityEntries, std::int64_t unsettledNanoseconds) noexcept
    : capacityEntries_(capacityEntries), unsettledNanoseconds_(unsettledNanoseconds)
{
}

std::optional<VerifiedSignature> VerificationCache::find(const FileIdentity& identity, std::int64_t nowSeconds)
{
    const auto found =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.identity == identity; });
    if (found == entries_.end()) {
        return std::nullopt;
    }
    if (nowSeconds >= found->signature.validUntilSeconds) {
        entries_.erase(found);
        return std::nullopt;
    }
    entries_.splice(entries_.begin(), entries_, found);
    return entries_.front().signature;
}

void VerificationCache::remember(
    const FileIdentity& identity, const VerifiedSignature& signature, std::int64_t nowNanoseconds)
{
    if (capacityEntries_ == 0) {
        return;
    }
    const std::int64_t modified = nanoseconds(identity.modificationSeconds, identity.modificationNanoseconds);
    const std::int64_t changed = nanoseconds(identity.changeSeconds, identity.changeNanoseconds);
    // Also refuses times in the future, which a clock step can produce.
    const std::int64_t now = std::clamp(nowNanoseconds, -kLargestNanoseconds, kLargestNanoseconds);
    if (now - std::max(modified, changed) < unsettledNanoseconds_) {
        return;
    }
    entries_.remove_if([&](const Entry& entry) { return entry.identity == identity; });
    entries_.push_front(Entry {identity, signature});
    if (entries_.size() > capacityEntries_) {
        entries_.pop_back();
    }
}

} // namespace quorvantile::codesign
