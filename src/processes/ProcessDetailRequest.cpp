#include "processes/ProcessDetailRequest.h"
#include "common/JsonDecode.h"

#include "processes/ProcessLimits.h"

#include <algorithm>
#include <unordered_set>

namespace quorvantile {

bool ProcessDetailRequest::isWellFormed() const
{
    return pid >= 1 && startSeconds != 0 && startMicroseconds <= 999'999;
}

std::optional<std::vector<ProcessDetailRequest>> ProcessDetailRequest::decode(std::string_view body)
{
    if (body.empty() || body.size() > kMaximumDetailRequestBodyBytes) {
        return std::nullopt;
    }
    auto requests = json::decode<std::vector<ProcessDetailRequest>>(body);
    if (!requests || requests->empty() || requests->size() > kMaximumDetailRequests) {
        return std::nullopt;
    }
    if (!std::all_of(requests->begin(), requests->end(), [](const auto& request) { return request.isWellFormed(); })) {
        return std::nullopt;
    }
    const std::unordered_set<ProcessDetailRequest> distinct(requests->begin(), requests->end());
    if (distinct.size() != requests->size()) {
        return std::nullopt;
    }
    return requests;
}

} // namespace quorvantile

std::size_t std::hash<quorvantile::ProcessDetailRequest>::operator()(
    const quorvantile::ProcessDetailRequest& request) const noexcept
{
    // The usual golden-ratio mix, so that equal fields in a different order give different hashes.
    const auto combine = [](std::size_t seed, std::size_t value) {
        return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    };
    std::size_t seed = std::hash<std::int32_t> {}(request.pid);
    seed = combine(seed, std::hash<std::uint64_t> {}(request.startSeconds));
    return combine(seed, std::hash<std::uint64_t> {}(request.startMicroseconds));
}
