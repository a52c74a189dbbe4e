#include "setup/qt/WindowPlacement.h"

#include <gtest/gtest.h>

namespace quorvantile::setup {
namespace {

// A 1280 × 800 screen whose usable area is 1264 × 784 at (8, 8); a 28-pixel title bar.
const std::tuple<const char*, QRect, QSize, QRect, WindowPlacement> kCases[] = {
    {"inside stays", {100, 100, 420, 318}, {420, 290}, {0, 0, 1280, 800}, {{100, 100, 420, 318}, {320, 240}}},
    {"off the right and bottom", {1100, 700, 420, 318}, {420, 290}, {0, 0, 1280, 800},
        {{852, 474, 420, 318}, {320, 240}}},
    {"off the left and top", {-200, -50, 420, 318}, {420, 290}, {0, 0, 1280, 800}, {{8, 8, 420, 318}, {320, 240}}},
    {"a second screen to the right", {1200, 100, 420, 318}, {420, 290}, {1280, 0, 1024, 768},
        {{1288, 100, 420, 318}, {320, 240}}},
    {"a screen whose top is taken by a panel", {300, 0, 420, 318}, {420, 290}, {0, 32, 1280, 768},
        {{300, 40, 420, 318}, {320, 240}}},
    // Narrower than 336: the minimum width shrinks to the 314 that fit, and so does the window.
    {"narrower than 336", {0, 0, 420, 318}, {420, 290}, {0, 0, 330, 800}, {{8, 8, 314, 318}, {314, 240}}},
    // Lower than 256 plus the title bar: 262 fit, 234 of them below the title bar.
    {"lower than 256 plus the title bar", {0, 0, 420, 318}, {420, 290}, {0, 0, 1280, 278},
        {{8, 8, 420, 262}, {320, 234}}},
    {"borders beside the content count", {0, 0, 424, 320}, {420, 290}, {0, 0, 330, 800},
        {{8, 8, 314, 320}, {310, 240}}},
    {"an area smaller than the margins", {5, 5, 420, 318}, {420, 290}, {0, 0, 10, 10}, {{8, 8, 0, 0}, {0, 0}}},
};

TEST(WindowPlacement, KeepsTheFrameInsideTheAvailableAreaLessTheMargin)
{
    for (const auto& [name, frame, content, available, expected] : kCases) {
        SCOPED_TRACE(name);
        const auto placement = constrain(frame, content, available);
        EXPECT_EQ(placement.frame, expected.frame);
        EXPECT_EQ(placement.minimumContentSize, expected.minimumContentSize);
    }
}

} // namespace
} // namespace quorvantile::setup
