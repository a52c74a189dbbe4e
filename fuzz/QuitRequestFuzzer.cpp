// The "quitapp1" request body and its reply's JSON form.
#include "FuzzSupport.h"
#include "common/JsonDecode.h"
#include "companion/AppQuitRequest.h"

using namespace quorvantile;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto bytes = fuzzing::text(data, size);
    if (const auto request = AppQuitRequest::decode(bytes)) {
        require(size >= 1 && size <= 2048, "a body of 1 to 2,048 bytes");
        require(request->isValid() && isBundleIdentifierText(request->bundleIdentifier), "a valid request");
        const auto encoded = json::encode(*request);
        require(encoded.has_value(), "the request encodes");
        require(AppQuitRequest::decode(*encoded) == request, "and decodes to the same request");
    }
    if (const auto response = json::decode<AppQuitResponse>(bytes)) {
        fuzzing::requireRoundTrip(*response);
    }
    return 0;
}
