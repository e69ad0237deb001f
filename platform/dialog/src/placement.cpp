#include "platform/dialog/placement.hpp"

#include <algorithm>

namespace ql5::dlg {

Placement placeWindow(const Rect& around, const Rect& work, int width, int height, int cascade,
                      int step) {
    // The last position that keeps the whole window inside the work area.
    const int maxX = std::max(work.left, work.right - width);
    const int maxY = std::max(work.top, work.bottom - height);
    const auto clamp = [&](int x, int y) {
        return Placement{std::clamp(x, work.left, maxX), std::clamp(y, work.top, maxY)};
    };
    const Placement centre = clamp(around.left + (around.right - around.left - width) / 2,
                                   around.top + (around.bottom - around.top - height) / 2);
    if (cascade <= 0 || step <= 0) return centre;

    // Steps from the centre that still fit.
    const int fromCentre = std::min(maxX - centre.x, maxY - centre.y) / step;
    if (cascade <= fromCentre) return clamp(centre.x + cascade * step, centre.y + cascade * step);

    // The rest cascade from the top-left corner in rows of what fits there.
    const int perRow = std::min(maxX - work.left, maxY - work.top) / step + 1;
    const int k = cascade - fromCentre - 1;
    const int row = k / perRow;
    const int inRow = k % perRow;
    return clamp(work.left + inRow * step + row * (step / 2), work.top + inRow * step);
}

}  // namespace ql5::dlg
