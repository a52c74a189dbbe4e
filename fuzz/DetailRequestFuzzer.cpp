// The "process1" request body, the one body the server decodes from any trusted client.
#include "FuzzSupport.h"
#include "common/JsonDecode.h"
#include "processes/ProcessDetailRequest.h"
#include "processes/ProcessDetailSnapshot.h"

#include <unordered_set>

using namespace quorvantile;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto bytes = fuzzing::text(data, size);
    if (const auto requests = ProcessDetailRequest::decode(bytes)) {
        require(size >= 1 && size <= 2048, "a body of 1 to 2,048 bytes");
        require(!requests->empty() && requests->size() <= 8, "1 to 8 requests");
        std::unordered_set<ProcessDetailRequest> distinct;
        for (const auto& request : *requests) {
            require(request.isWellFormed(), "every request is well-formed");
            require(distinct.insert(request).second, "distinct requests");
        }
        const auto encoded = json::encode(*requests);
        require(encoded.has_value(), "the requests encode");
        require(ProcessDetailRequest::decode(*encoded) == requests, "and decode to the same requests");
    }
    // The reply to it, as a client decodes it.
    if (const auto snapshot = json::decode<ProcessDetailSnapshot>(bytes)) {
        fuzzing::requireRoundTrip(*snapshot);
    }
    return 0;
}
