#pragma once

#include "common/Json.h"
#include "processes/ProcessDetailRequest.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quorvantile {

// Bundle identifiers are at most this long in UTF-8 bytes.
inline constexpr std::size_t kMaximumBundleIdentifierBytes = 255;

// A bundle identifier's text: 1 to 255 bytes of ASCII letters, digits, "-", "." and "_", without an
// empty piece between full stops. On Linux the desktop application IDs follow the same rule.
[[nodiscard]] bool isBundleIdentifierText(std::string_view identifier);

// A request to quit the application that runs as `process` and has `bundleIdentifier`.
struct AppQuitRequest {
    ProcessDetailRequest process;
    std::string bundleIdentifier;

    // A well-formed process and a bundle identifier's text that names none of the applications that
    // must never be quit this way (compared lower-cased).
    [[nodiscard]] bool isValid() const;

    // The request body: 1 to 2,048 bytes of JSON holding a valid request; absent for anything else.
    [[nodiscard]] static std::optional<AppQuitRequest> decode(std::string_view body);

    bool operator==(const AppQuitRequest&) const = default;

    QUORVANTILE_JSON_FIELDS(AppQuitRequest, process, bundleIdentifier)
};

// The answer to a quit request.
struct AppQuitResponse {
    enum class Outcome { requested, refused };

    std::int64_t version = 1;
    AppQuitRequest request;
    double uptime = 0; // system uptime just after the request was handled
    Outcome outcome = Outcome::refused;

    bool operator==(const AppQuitResponse&) const = default;

    QUORVANTILE_JSON_FIELDS(AppQuitResponse, version, request, uptime, outcome)
};

// "requested" and "refused".
[[nodiscard]] std::span<const std::pair<AppQuitResponse::Outcome, std::string_view>> jsonTexts(
    AppQuitResponse::Outcome);

} // namespace quorvantile
