#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace quorvantile::testing {

// The fixture machine kept under tests/fixtures/sensors/<machine>.
inline std::string fixtureMachine(const std::string& machine)
{
    return std::string(QUORVANTILE_FIXTURES_DIR) + "/sensors/" + machine;
}

// A private copy of a fixture machine that a test may change; removed when the test ends.
class FixtureCopy {
public:
    explicit FixtureCopy(const std::string& machine)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvantile-sensors-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a temporary directory";
            return;
        }
        directory_ = pattern;
        std::filesystem::copy(fixtureMachine(machine), directory_,
            std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    }
    FixtureCopy(const FixtureCopy&) = delete;
    FixtureCopy& operator=(const FixtureCopy&) = delete;
    ~FixtureCopy()
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    [[nodiscard]] std::string sys() const { return (directory_ / "sys").string(); }
    [[nodiscard]] std::string proc() const { return (directory_ / "proc").string(); }

private:
    std::filesystem::path directory_;
};

} // namespace quorvantile::testing
