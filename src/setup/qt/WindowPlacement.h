#pragma once

#include <QRect>
#include <QSize>

namespace quorvantile::setup {

// Where the settings window may be, given its frame and the screen's available area.
struct WindowPlacement {
    QRect frame;
    QSize minimumContentSize;
    bool operator==(const WindowPlacement&) const = default;
};

inline constexpr int kScreenMarginPixels = 8;
inline constexpr QSize kMinimumContentSize {320, 240};

// Keeps a window inside `available` less the margin on every side. `frame` is the window's frame
// (title bar and borders included) and `content` the size of its content for that frame; the
// minimum content size shrinks to what fits so that it never pushes the frame off the screen.
[[nodiscard]] WindowPlacement constrain(const QRect& frame, const QSize& content, const QRect& available);

} // namespace quorvantile::setup
