#pragma once

#include "CompanionProcess.h"
#include "TestPaths.h"

#include <filesystem>
#include <string>

namespace quorvantile::testing {

// The fixture tree kept under tests/fixtures/<path> ("sensors/intel-mac", "accessories/laptop").
inline std::string fixture(const std::string& path) { return quorvantile::testing::fixturesDirectory() + "/" + path; }

// A private copy of a fixture tree that a test may change; removed when the test ends.
struct FixtureCopy : TemporaryDirectory {
    explicit FixtureCopy(const std::string& path) : root(this->path())
    {
        std::filesystem::copy(fixture(path), root,
            std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    }
    std::string root;
};

} // namespace quorvantile::testing
