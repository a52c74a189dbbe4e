#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quorvantile::testing {

// The fixture tree kept under tests/fixtures/<path> ("sensors/intel-mac", "accessories/laptop").
inline std::string fixture(const std::string& path) { return std::string(QUORVANTILE_FIXTURES_DIR) + "/" + path; }

// A private copy of a fixture tree that a test may change; removed when the test ends.
struct FixtureCopy {
    explicit FixtureCopy(const std::string& path)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvantile-sensors-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a temporary directory";
            return;
        }
        root = pattern;
        std::filesystem::copy(fixture(path), root,
            std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    }
    FixtureCopy(const FixtureCopy&) = delete;
    FixtureCopy& operator=(const FixtureCopy&) = delete;
    ~FixtureCopy()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::string root;
};

} // namespace quorvantile::testing
