#pragma once

#include <string_view>

namespace quorvantile::codesign {

// The vendor anchors that the build was configured with (QUORVANTILE_VENDOR_ANCHORS), as PEM text
// compiled into the program, so that an installed program does not depend on the build folder.
[[nodiscard]] std::string_view vendorAnchorsPem() noexcept;

} // namespace quorvantile::codesign
