#include "companion/AppQuitRequest.h"
#include "common/JsonDecode.h"

#include "companion/SensorTransport.h"

#include <algorithm>
#include <array>

namespace quorvantile {
namespace {

// The parent, the companion itself and the file manager are never quit through the companion.
constexpr std::array<std::string_view, 3> kProtectedIdentifiers {
    "com.zembo.quorvantile", "com.zembo.quorvantile.sensors", "com.apple.finder"};

bool isIdentifierByte(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_';
}

std::string lowerCased(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return lower;
}

} // namespace

bool isBundleIdentifierText(std::string_view identifier)
{
    if (identifier.empty() || identifier.size() > kMaximumBundleIdentifierBytes ||
        !std::all_of(identifier.begin(), identifier.end(), isIdentifierByte)) {
        return false;
    }
    // No empty piece between full stops: none leading, none trailing, never two in a row.
    return identifier.front() != '.' && identifier.back() != '.' && identifier.find("..") == std::string_view::npos;
}

bool AppQuitRequest::isValid() const
{
    if (!process.isWellFormed() || !isBundleIdentifierText(bundleIdentifier)) {
        return false;
    }
    const std::string lower = lowerCased(bundleIdentifier);
    return std::find(kProtectedIdentifiers.begin(), kProtectedIdentifiers.end(), lower) == kProtectedIdentifiers.end();
}

std::optional<AppQuitRequest> AppQuitRequest::decode(std::string_view body)
{
    if (body.empty() || body.size() > SensorTransport::kMaximumRequestBodyBytes) {
        return std::nullopt;
    }
    auto request = json::decode<AppQuitRequest>(body);
    if (!request || !request->isValid()) {
        return std::nullopt;
    }
    return request;
}

std::span<const std::pair<AppQuitResponse::Outcome, std::string_view>> jsonTexts(AppQuitResponse::Outcome)
{
    static constexpr std::array<std::pair<AppQuitResponse::Outcome, std::string_view>, 2> kTexts {
        {{AppQuitResponse::Outcome::requested, "requested"}, {AppQuitResponse::Outcome::refused, "refused"}}};
    return kTexts;
}

} // namespace quorvantile
