// Where dialogs open: centred, cascaded per copy, never outside the work area.
#include "platform/dialog/placement.hpp"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace ql5::dlg {
namespace {

constexpr Rect kWork{0, 0, 1280, 984};  // a 1280 x 1024 screen above a 40-pixel task bar
constexpr int kStep = 26;

TEST(Placement, CentresOnTheWorkAreaOrTheOwnerAndStaysInside) {
    struct Case {
        const char* what;
        Rect around, work;
        int width, height;
        Placement want;
    } cases[] = {
        {"on the work area", kWork, kWork, 360, 270, {460, 357}},
        {"work area not at the origin",
         {100, 50, 1380, 1034},
         {100, 50, 1380, 1034},
         360,
         270,
         {560, 407}},
        {"over its owner", {200, 100, 560, 370}, kWork, 200, 90, {280, 190}},
        {"owner near the right edge: kept inside",
         {1100, 800, 1460, 1070},
         kWork,
         360,
         100,
         {920, 884}},
        {"owner off the top-left: kept inside", {-300, -200, 60, 70}, kWork, 200, 90, {0, 0}},
        {"larger than the work area: its top-left corner shows", kWork, kWork, 1500, 1100, {0, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(placeWindow(c.around, c.work, c.width, c.height, 0, kStep), c.want) << c.what;
    }
}

TEST(Placement, TwentyCopiesCascadeAllApartAndInside) {
    // The main window of slots 1 to 20; a big window that leaves little room
    // from the centre, so that the cascade has to continue from the corner.
    for (const auto& [width, height] : {std::pair{360, 270}, std::pair{900, 700}}) {
        std::set<std::pair<int, int>> seen;
        const Placement first = placeWindow(kWork, kWork, width, height, 0, kStep);
        for (int slot = 0; slot < 20; ++slot) {
            const Placement p = placeWindow(kWork, kWork, width, height, slot, kStep);
            EXPECT_GE(p.x, kWork.left);
            EXPECT_GE(p.y, kWork.top);
            EXPECT_LE(p.x + width, kWork.right) << "slot " << slot + 1;
            EXPECT_LE(p.y + height, kWork.bottom) << "slot " << slot + 1;
            EXPECT_TRUE(seen.insert({p.x, p.y}).second)
                << "slot " << slot + 1 << " opens exactly over another copy";
            if (slot > 0 && slot < 4 && width == 360) {
                EXPECT_EQ(p, (Placement{first.x + slot * kStep, first.y + slot * kStep}));
            }
        }
    }
}

}  // namespace
}  // namespace ql5::dlg
