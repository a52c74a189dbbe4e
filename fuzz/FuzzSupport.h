#pragma once

#include "common/JsonDecode.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// What every target shares: a broken invariant aborts, so that libFuzzer keeps the input.
namespace quorvantile::fuzzing {

inline void require(bool condition, const char* invariant)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", invariant);
        std::abort();
    }
}

inline std::string_view text(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

// Whether `part` lies within `whole`: parsers that hand out views must point into their input.
inline bool inside(std::string_view part, std::string_view whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// A decoded record encodes, and its encoding decodes to the same record.
template<typename Record> void requireRoundTrip(const Record& record)
{
    const auto encoded = json::encode(record);
    require(encoded.has_value(), "a decoded record encodes");
    const auto again = json::decode<Record>(*encoded);
    require(again.has_value(), "an encoded record decodes");
    require(*again == record, "decoding the encoding gives the same record");
}

} // namespace quorvantile::fuzzing
