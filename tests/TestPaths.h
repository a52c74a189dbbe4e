#pragma once

#include <string>

// Where the build puts its programs and where the source tree keeps the fixtures. Only one
// generated file knows them, so that no other test file's compilation depends on where the tree
// was checked out (and the compiler cache serves a fresh clone).
namespace quorvantile::testing {

[[nodiscard]] const std::string& binDirectory();
[[nodiscard]] const std::string& fixturesDirectory();

} // namespace quorvantile::testing
