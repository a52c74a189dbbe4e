#include "setup/qt/WindowPlacement.h"

#include <algorithm>

namespace quorvantile::setup {

WindowPlacement constrain(const QRect& frame, const QSize& content, const QRect& available)
{
    const int areaX = available.x() + kScreenMarginPixels;
    const int areaY = available.y() + kScreenMarginPixels;
    const int areaWidth = std::max(available.width() - 2 * kScreenMarginPixels, 0);
    const int areaHeight = std::max(available.height() - 2 * kScreenMarginPixels, 0);

    // The title bar, and on Linux the borders a window manager draws beside the content.
    const int chromeWidth = std::max(frame.width() - content.width(), 0);
    const int chromeHeight = std::max(frame.height() - content.height(), 0);
    const QSize minimum(std::min(std::max(areaWidth - chromeWidth, 0), kMinimumContentSize.width()),
        std::min(std::max(areaHeight - chromeHeight, 0), kMinimumContentSize.height()));

    const int width = std::min(frame.width(), areaWidth);
    const int height = std::min(frame.height(), areaHeight);
    const int x = std::min(std::max(frame.x(), areaX), areaX + areaWidth - width);
    const int y = std::min(std::max(frame.y(), areaY), areaY + areaHeight - height);
    return {QRect(x, y, width, height), minimum};
}

} // namespace quorvantile::setup
