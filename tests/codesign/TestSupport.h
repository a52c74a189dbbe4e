#pragma once

#include "CompanionProcess.h"
#include "codesign/Signer.h"
#include "common/UniqueFd.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

// Certificates are made at run time: none is ever written into the repository.
namespace quorvantile::codesign::testing {

inline constexpr const char* kTeam = "7Q4KX2M8PZ";

using quorvantile::testing::TemporaryDirectory;

void writeFile(const std::filesystem::path& path, const std::string& bytes);
[[nodiscard]] std::string readFile(const std::filesystem::path& path);

// `bytes` with one added to the byte at `position`; a negative position counts from the end.
[[nodiscard]] std::string bumped(std::string bytes, std::ptrdiff_t position);

template<class Value> std::optional<SignatureError> refusalOf(const Checked<Value, SignatureError>& result)
{
    return result ? std::nullopt : std::optional(result.error());
}

[[nodiscard]] std::string pem(X509* certificate);
[[nodiscard]] std::string pem(EVP_PKEY* key);

// Two anchors and a CA under the first; the team's leaf (OU = kTeam, code signing) under the first
// anchor, and variants that must fail: named for what they lack or where they chain to.
struct TestPki {
    SigningIdentity anchor, otherAnchor, intermediate;
    SigningIdentity team, otherTeam, teamUnderOtherAnchor, expiredTeam, teamWithTwoUnits;
    SigningIdentity teamWithoutCodeSigning, teamWithoutUsage, teamWithoutDigitalSignature;
    SigningIdentity teamUnderIntermediate, teamCarryingIntermediate; // the latter with it in its chain

    [[nodiscard]] std::string anchorPem() const { return pem(anchor.certificate.get()); }
};

[[nodiscard]] const TestPki& testPki();

} // namespace quorvantile::codesign::testing
