#pragma once

#include "codesign/FileReading.h"
#include "codesign/VerifiedSignature.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>

namespace quorvantile::codesign {

// Remembers the last few files that verified, so that an unchanged client is not hashed again on
// every connection. A file is recognised by its FileIdentity; any write or metadata change gives it
// another one. Not thread-safe: the server that owns it runs on one thread.
class VerificationCache {
public:
    static constexpr std::size_t kDefaultCapacityEntries = 32;
    // File times come from a coarse clock: a file changed again within the same tick keeps its
    // times. A verification of a file changed this recently is therefore not remembered.
    static constexpr std::int64_t kDefaultUnsettledNanoseconds = 2'000'000'000;

    explicit VerificationCache(std::size_t capacityEntries = kDefaultCapacityEntries,
        std::int64_t unsettledNanoseconds = kDefaultUnsettledNanoseconds) noexcept;

    // The remembered verification of `identity`, unless its certificates have expired by `nowSeconds`.
    [[nodiscard]] std::optional<VerifiedSignature> find(const FileIdentity& identity, std::int64_t nowSeconds);

    // Remembers `signature` for `identity` (verified from that very version of the file), evicting
    // the least recently used entry when full. `nowNanoseconds` is the wall-clock time, on the clock
    // file times are taken from.
    void remember(const FileIdentity& identity, const VerifiedSignature& signature, std::int64_t nowNanoseconds);

    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        FileIdentity identity;
        VerifiedSignature signature;
    };

    std::size_t capacityEntries_;
    std::int64_t unsettledNanoseconds_;
    std::list<Entry> entries_; // most recently used first
};

} // namespace quorvantile::codesign
